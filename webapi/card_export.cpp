// vCard export: chosen cards or all cards of a user as one Contact.vcf download. Unlike every
// other operation these write a complete CGI reply to standard output and leave the response
// object unset, so the front passes the bytes to the browser as they are.

#include <cstdio>
#include <string>

#include "contact_and_calendar_handler.h"
#include "error_log.h"

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

void writeNotFound() {
  static const char kNotFound[] = "Status: 404 Not Found\r\n\r\n";
  std::fwrite(kNotFound, 1, sizeof kNotFound - 1, stdout);
  std::fflush(stdout);
}

void logLostParameters(int line) {
  ErrorLog(MODULE_SOURCE, line, 1, "Request lost parameters", static_cast<const char*>(nullptr));
}

void logLookupFailed(int line) {
  ErrorLog(MODULE_SOURCE, line, 1, kLookupFailed, static_cast<const char*>(nullptr));
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

void ContactAndCalendarHandler::exportCards() {
  if (!_request->HasParam("user") || !_request->HasParam("id")) {
    logLostParameters(__LINE__);
    writeNotFound();
    return;
  }
  std::string user;
  const Json::Value ids = _request->GetParam("id", Json::Value());
  if (!readTextParam("user", user)) {
    writeNotFound();
    return;
  }
  std::string guid;
  if (!knownUserGUID(__LINE__, user, guid)) {
    logLookupFailed(__LINE__);
    writeNotFound();
    return;
  }
  if (guid.empty()) {
    writeNotFound();
    return;
  }
  if (!ids.isArray()) {
    ErrorLog(MODULE_SOURCE, __LINE__, 1, "check type of id(array)",
             static_cast<const char*>(nullptr));
    writeNotFound();
    return;
  }
  std::string body;
  for (const Json::Value& id : ids) {
    std::string resourceId;
    if (!idText(id, resourceId)) {
      writeNotFound();
      return;
    }
    if (!appendCardText(_dbHandler, guid, resourceId, body)) {
      writeNotFound();
      return;
    }
  }
  writeDownload(body);
}

void ContactAndCalendarHandler::exportAllCards() {
  if (!_request->HasParam("user")) {
    logLostParameters(__LINE__);
    writeNotFound();
    return;
  }
  std::string user;
  if (!readTextParam("user", user)) {
    writeNotFound();
    return;
  }
  std::string guid;
  if (!knownUserGUID(__LINE__, user, guid)) {
    logLookupFailed(__LINE__);
    writeNotFound();
    return;
  }
  if (guid.empty()) {
    writeNotFound();
    return;
  }
  // One statement gives every text: a card deleted meanwhile never fails the download.
  if (!streamAllCardTexts(guid)) writeNotFound();
}
