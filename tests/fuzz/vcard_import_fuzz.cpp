// Fuzz target: any uploaded file through the import's card reading. Every card it would store
// starts with BEGIN:VCARD, ends with its one END:VCARD line, holds one UID line, is UTF-8 with
// CR LF line ends only, and survives an unchanged edit byte for byte.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "card_model.h"
#include "vcard_import.h"
#include "vcard_line.h"

namespace {

void Check(const vcard::ImportedCard& card) {
  const std::string& text = card.text;
  if (text.rfind("BEGIN:VCARD\r\n", 0) != 0) std::abort();
  const std::string end = "\r\nEND:VCARD\r\n";
  if (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0)
    std::abort();
  if (!vcard::IsUtf8(text)) std::abort();
  int ends = 0;
  int uids = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string::npos || lf == start || text[lf - 1] != '\r') std::abort();
    const std::string line = text.substr(start, lf - 1 - start);
    if (line.find('\r') != std::string::npos) std::abort();
    vcard::ContentLine parsed;
    if (vcard::SplitLine(line, parsed)) {
      ends += vcard::NameIs(parsed, "END");
      uids += vcard::NameIs(parsed, "UID");
    }
    start = lf + 1;
  }
  if (ends != 1 || uids != 1) std::abort();

  std::string merged;
  if (!card::MergeEdit(text, card::ReadRecord(text), merged) || merged != text) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/lumidex-import-fuzz-" + std::to_string(getpid()) + ".vcf";
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  int uid = 0;
  vcard::ReadCardsOfFile(
      path, [&uid] { return "fuzz-uid-" + std::to_string(++uid); },
      [](const vcard::ImportedCard& card) { Check(card); }, [](const vcard::ImportedCard&) {});
  return 0;
}
