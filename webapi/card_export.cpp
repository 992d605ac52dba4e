// vCard export: chosen cards or all cards of a user as one Contact.vcf download. Unlike every
// other operation these write a complete CGI reply to standard output (a refusal the bare 404 of
// the request frame) and leave the response object unset, so the front passes the bytes to the
// browser as they are.

#include <cstdio>
#include <string>

#include "contact_and_calendar_handler.h"

// The browser's download code expects these bytes exactly, including the bare line feeds after
// the Content-Disposition line.
std::string DownloadHeader(unsigned long long size) {
  std::string header = "Content-Length: " + std::to_string(size) + "\r\n";
  header += "Content-Type: text/x-vcard\r\n";
  header += "Content-Disposition:attachment; filename=\"Contact.vcf\"\n\n";
  return header;
}

namespace {

void writeDownload(const std::string& body) {
  const std::string header = DownloadHeader(body.size());
  std::fwrite(header.data(), 1, header.size(), stdout);
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
}

// The decimal text of an id element; false for anything that is neither a string nor an integer
// (reading those would throw).
bool idText(const Json::Value& id, std::string& text) {
  if (id.isString()) {
    text = id.asString();
    return true;
  }
  if (id.isIntegral()) {
    text = id.isUInt64() ? std::to_string(id.asUInt64()) : std::to_string(id.asInt64());
    return true;
  }
  return false;
}

// Appends one card's stored text; false when the store cannot give it (foreign or unknown id).
bool appendCardText(DBHandler& store, const std::string& guid, const std::string& resourceId,
                    std::string& body) {
  std::string text = store.ExportData(guid, resourceId);
  if (text == "error") return false;
  body += text;
  return true;
}

}  // namespace

// A user parameter that is no text answers the bare 404 without a log line.
const ContactAndCalendarHandler::Refusal kNoSuchDownload = {404, "", ""};

void ContactAndCalendarHandler::exportCards() {
  _answersDownload = true;
  if (!hasParams(__LINE__, {"user", "id"})) return;
  const Json::Value ids = _request->GetParam("id", Json::Value());
  std::string guid;
  if (!findUser(__LINE__, false, kNoSuchDownload, guid)) return;
  if (guid.empty()) {
    refuse(__LINE__, 404, "", "");
    return;
  }
  if (!ids.isArray()) {
    refuse(__LINE__, 404, "", "check type of id(array)");
    return;
  }
  std::string body;
  for (const Json::Value& id : ids) {
    std::string resourceId;
    if (!idText(id, resourceId) || !appendCardText(_dbHandler, guid, resourceId, body)) {
      refuse(__LINE__, 404, "", "");
      return;
    }
  }
  writeDownload(body);
}

void ContactAndCalendarHandler::exportAllCards() {
  _answersDownload = true;
  if (!hasParams(__LINE__, {"user"})) return;
  std::string guid;
  if (!findUser(__LINE__, false, kNoSuchDownload, guid)) return;
  // One statement gives every text: a card deleted meanwhile never fails the download.
  if (guid.empty() || !streamAllCardTexts(guid)) refuse(__LINE__, 404, "", "");
}
