// Fuzz target: any stored card text through the reader as the listing reads it, then back through
// the edit. An unchanged record must give the stored text byte for byte, and a changed phone must
// list as the new number.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "card_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The store never holds a text with a NUL byte.
  if (text.find('\0') != std::string::npos) return 0;
  const Json::Value record = card::ReadRecord(text);
  std::string merged;
  if (!card::MergeEdit(text, record, merged) || merged != text) std::abort();

  Json::Value changed = record;
  if (changed["tel"].empty()) {
    changed["tel"].append(Json::Value(Json::objectValue));
    changed["tel"][0]["type"].append("CELL");
  }
  changed["tel"][0]["data"] = "+1 555 0199";
  if (!card::MergeEdit(text, changed, merged)) std::abort();
  if (card::ReadRecord(merged)["tel"][0]["data"] != "+1 555 0199") std::abort();
  return 0;
}
