// vCard import: stores each card of an uploaded .vcf file as a new card of the user, in clean
// vCard 3.0 (UTF-8, CRLF, lines of any length, a fresh UID, VERSION:3.0, no REV), keeping every
// property of the file. Version 1 answers as it always has; version 2 answers with a report of
// what was stored and what was refused, and why.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "contact_and_calendar_handler.h"
#include "vcard_import.h"

namespace {

struct RefusedCard {
  int card;
  std::string uid;
  std::string reason;
};

// Cards per commit: one log flush for this many cards, while other writes to the same address
// book wait for at most this many cards' worth of import. Each card is a savepoint, and
// PostgreSQL keeps only 64 of a transaction's subtransactions in its fast cache: past that,
// every statement's visibility checks slow down, so a batch stays below it.
constexpr std::size_t kCardsPerCommit = 50;

// A card stored in the open batch, not yet committed.
struct Pending {
  int card;
  std::string uid;
};

}  // namespace

void ContactAndCalendarHandler::importCards() { importCardsReporting(false); }

void ContactAndCalendarHandler::importCardsWithReport() { importCardsReporting(true); }

void ContactAndCalendarHandler::importCardsReporting(bool report) {
  // "file" carries the upload's original name; it is never read but must be there.
  if (!hasParams(__LINE__, {"user", "file_tmp", "file"})) return;
  std::string path;
  if (!readTextParam("file_tmp", path)) {
    refuse(__LINE__, 900, "Request lost parameters");
    return;
  }
  // A user the store does not know yet is provisioned, as add does, so the file is stored.
  std::string guid;
  if (!findUser(__LINE__, true, {900, "Request lost parameters", "Request lost parameters"}, guid))
    return;
  if (guid.empty()) {
    refuse(__LINE__, 1011, "Fail to set card");
    return;
  }

  std::vector<RefusedCard> refused;
  int cards = 0;
  int stored = 0;
  // A partial import still replies success, so each refused card leaves a line in the error log:
  // its place in the file, the UID it was given, and why. `reason` is for the report.
  auto refuseCard = [&](int line, const vcard::ImportedCard& card, const char* why,
                        const char* reason) {
    logError(line, "Fail to set card " + std::to_string(card.number) + " of the file (UID " +
                       card.uid + "): " + why);
    refused.push_back({card.number, card.uid, reason});
  };
  // The cards share their commits, a savepoint each: a card is counted stored only once its
  // batch committed, so a success still means every stored card is on disk.
  std::vector<Pending> pending;
  bool batched = false;
  auto commit = [&] {
    if (!batched) return;
    batched = false;
    if (_dbHandler.EndCardBatch()) {
      stored += static_cast<int>(pending.size());
    } else {
      for (const Pending& card : pending) {
        logError(__LINE__, "Fail to set card " + std::to_string(card.card) + " of the file (UID " +
                               card.uid + "): its batch could not be committed");
        refused.push_back({card.card, card.uid, "could not be stored"});
      }
    }
    pending.clear();
  };
  auto store = [&](const vcard::ImportedCard& card) {
    if (!batched) batched = _dbHandler.BeginCardBatch();
    if (_dbHandler.AddCard(guid, card.uid, card.text)) {
      if (!batched) {
        ++stored;
        return;
      }
      pending.push_back({card.number, card.uid});
      if (pending.size() >= kCardsPerCommit) commit();
      return;
    }
    refuseCard(__LINE__, card, "the store refused it (the system log has its reason)",
               "could not be stored");
  };
  // Each card is stored once the next one is read, so that the next card's helpers run while
  // this one is written; the cards are still stored in the order of the file.
  std::optional<vcard::ImportedCard> previous;
  // A file that cannot be opened or converted stores no card.
  vcard::ReadCardsOfFile(
      path, [this] { return _dbHandler.GetUUIDAhead(); },
      [&](const vcard::ImportedCard& card) {
        ++cards;
        _dbHandler.PrepareCard(card.text);
        if (previous) store(*previous);
        previous = card;
      },
      [&](const vcard::ImportedCard& card) {
        ++cards;
        refuseCard(__LINE__, card, "larger than 16 MiB, skipped", "is larger than 16 MiB");
      });
  if (previous) store(*previous);

  commit();
  std::stable_sort(refused.begin(), refused.end(),
                   [](const RefusedCard& a, const RefusedCard& b) { return a.card < b.card; });

  if (report) {
    Json::Value data(Json::objectValue);
    data["stored"] = stored;
    Json::Value& list = data["refused"] = Json::Value(Json::arrayValue);
    for (const RefusedCard& refusal : refused) {
      Json::Value item(Json::objectValue);
      item["card"] = refusal.card;
      item["uid"] = refusal.uid;
      item["reason"] = refusal.reason;
      list.append(std::move(item));
    }
    // The report says why cards were refused, so it is the answer whenever the file held a card.
    if (cards > 0) {
      _response->SetSuccess(std::move(data));
      return;
    }
    refuse(__LINE__, 1011, "Fail to set card", "");
    return;
  }
  if (stored > 0) {
    _response->SetSuccess(Json::Value());
    return;
  }
  refuse(__LINE__, 1011, "Fail to set card", "");
}
