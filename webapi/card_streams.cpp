// The listing's records and the export-all download written out card by card: each card is
// read, written to the reply and dropped, so memory stays flat whatever the number of cards.
// All cards come from one statement before the first byte is written, so a store failure is
// answered with its error, never with a reply cut in half.
#include <cstdio>
#include <string>
#include <utility>

#include "card_model.h"
#include "contact_and_calendar_handler.h"

namespace {
const Json::StaticString kId("id");
const Json::StaticString kResourceId("resource_id");
const Json::StaticString kEtag("etag");
}  // namespace

bool ContactAndCalendarHandler::streamCards(const std::string& guid, const std::string& searchKey,
                                            bool lean) {
  bool begun = false;
  const bool read = _dbHandler.ReadCardRows(guid, [&](const DBHandler::CardRow& row) {
    if (!begun) _response->BeginSuccessList("cards");
    begun = true;
    Json::Value record =
        lean ? card::ReadLeanRecord(row.vcardText) : card::ReadRecord(row.vcardText);
    record[kId] = row.resourceName;
    record[kResourceId] = row.resourceId;
    // An edit can send it back, so that a change made meanwhile is not overwritten.
    record[kEtag] = row.md5;
    if (searchKey.empty() || card::Matches(record, searchKey))
      _response->AppendToList(std::move(record));
  });
  if (!read) return false;
  if (!begun) _response->BeginSuccessList("cards");
  _response->EndSuccessList();
  return true;
}

bool ContactAndCalendarHandler::streamAllCardTexts(const std::string& guid) {
  const bool read = _dbHandler.ReadCardTexts(
      guid,
      [&](unsigned long long total) {
        const std::string header = DownloadHeader(total);
        _response->WriteRaw(header.data(), header.size());
      },
      [&](const char* text, std::size_t size) {
        _response->WriteRaw(text, size);
        _response->WriteRaw("\n", 1);
      });
  std::fflush(stdout);
  return read;
}
