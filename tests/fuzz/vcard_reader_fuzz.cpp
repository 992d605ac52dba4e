// Fuzz target: any stored card text through the reader as the listing reads it, then back through
// the edit. An unchanged record must give the stored text byte for byte, and a changed phone must
// list as the new number.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "contact_and_calendar_handler.h"

namespace {

Json::Value Listed(ContactAndCalendarHandler& handler, const std::string& text) {
  std::string buffer = text;
  handler.ParseCardLabel(buffer.data());
  buffer = text;
  Json::Value record(Json::objectValue);
  handler.ParseCardText(buffer.data(), record);
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The store never holds a text with a NUL byte.
  if (text.find('\0') != std::string::npos) return 0;
  static ORVA::APIRequest request;
  static ORVA::APIResponse response;
  // A handler per input, as per request: the label map is the reader's state.
  ContactAndCalendarHandler handler(&request, &response, "fuzz");

  const Json::Value record = Listed(handler, text);
  std::string merged;
  if (!handler.mergeCardEdit(text, record, merged) || merged != text) std::abort();

  Json::Value changed = record;
  if (changed["tel"].empty()) {
    changed["tel"].append(Json::Value(Json::objectValue));
    changed["tel"][0]["type"].append("CELL");
  }
  changed["tel"][0]["data"] = "+1 555 0199";
  if (!handler.mergeCardEdit(text, changed, merged)) std::abort();
  if (Listed(handler, merged)["tel"][0]["data"] != "+1 555 0199") std::abort();
  return 0;
}
