// The listing's and the export's reads of a home's cards, handed out row by row: the whole
// result comes from one statement before the first row is used, and each row is dropped by the
// caller as soon as it has been written out.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "db_handler.h"
#include "store_statement.h"

using lumidex::Rows;

bool DBHandler::ReadCardRows(std::string owner, const std::function<void(const CardRow&)>& each) {
  Rows rows;
  if (!ReadHomeCards(std::move(owner), "LIST_HOME_CARDS",
                     "resource_id, resource_name, vcard_text, md5", rows))
    return false;
  while (rows.Next()) {  // no home: no rows
    each(CardRow{rows.Field("resource_id"), rows.Field("resource_name"), rows.Field("vcard_text"),
                 rows.Field("md5")});
  }
  return true;
}

bool DBHandler::ReadCardTexts(std::string owner,
                              const std::function<void(unsigned long long)>& total,
                              const std::function<void(const char*, std::size_t)>& each) {
  Rows rows;
  if (!ReadHomeCards(std::move(owner), "EXPORT_HOME_CARDS",
                     "vcard_text, sum(octet_length(vcard_text) + 1) OVER () AS total", rows))
    return false;
  bool first = true;
  while (rows.Next()) {
    if (first) total(std::strtoull(rows.Field("total"), nullptr, 10));
    first = false;
    const char* text = rows.Field("vcard_text");
    each(text, std::strlen(text));
  }
  if (first) total(0);
  return true;
}
