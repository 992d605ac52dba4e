// The listing's records and the export-all download written out card by card: each card is
// read, written to the reply and dropped, so memory stays flat whatever the number of cards.
// All cards come from one statement before the first byte is written, so a store failure is
// answered with its error, never with a reply cut in half.
#include <cstdio>
#include <string>
#include <utility>

#include "card_model.h"
#include "contact_and_calendar_handler.h"

bool ContactAndCalendarHandler::streamCards(const std::string& guid, const std::string& searchKey,
                                            bool lean) {
  bool begun = false;
  // One record and one text, reused card after card: their buffers grow to the largest card.
  card::Record record;
  std::string json;
  const bool read = _dbHandler.ReadCardRows(guid, [&](const DBHandler::CardRow& row) {
    if (!begun) _response->BeginSuccessList("cards");
    begun = true;
    card::Read(row.vcardText, lean, record);
    if (!searchKey.empty() && !card::Matches(record, searchKey)) return;
    json.clear();
    // The etag goes out so that an edit can send it back, and a change made meanwhile is not
    // overwritten.
    card::AppendListedJson(record, {row.resourceName, row.resourceId, row.md5}, &json);
    _response->AppendEncodedToList(json);
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
