// The listing's and the export's reads of a home's cards, handed out row by row: the whole
// result comes from one statement before the first row is used, and each row is dropped by the
// caller as soon as it has been written out.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "db_handler.h"
#include "orvadb.h"

bool DBHandler::ReadCardRows(std::string owner, const std::function<void(const CardRow&)>& each) {
  DBResult* result = nullptr;
  if (!ReadHomeCards(std::move(owner), "resource_id, resource_name, vcard_text, md5", &result))
    return false;
  if (!result) return true;  // no home: no cards
  int row = 0;
  while (ORVADBFetchRow(result, &row) != -1) {
    each(CardRow{ORVADBFetchField(result, row, "resource_id"),
                 ORVADBFetchField(result, row, "resource_name"),
                 ORVADBFetchField(result, row, "vcard_text"),
                 ORVADBFetchField(result, row, "md5")});
  }
  ORVADBFreeResult(result);
  return true;
}

bool DBHandler::ReadCardTexts(std::string owner,
                              const std::function<void(unsigned long long)>& total,
                              const std::function<void(const char*, std::size_t)>& each) {
  DBResult* result = nullptr;
  if (!ReadHomeCards(std::move(owner),
                     "vcard_text, sum(octet_length(vcard_text) + 1) OVER () AS total", &result))
    return false;
  int row = 0;
  bool first = true;
  while (result && ORVADBFetchRow(result, &row) != -1) {
    if (first) total(std::strtoull(ORVADBFetchField(result, row, "total"), nullptr, 10));
    first = false;
    const char* text = ORVADBFetchField(result, row, "vcard_text");
    each(text, std::strlen(text));
  }
  if (first) total(0);
  if (result) ORVADBFreeResult(result);
  return true;
}
