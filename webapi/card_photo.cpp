// A card's photo as an image ("get_photo"): the bytes of the card's inline PHOTO with their type,
// kept privately by the browser and revalidated by the card's md5. Like the exports it writes a
// complete CGI reply to standard output; a refusal is a bare 404.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "card_model.h"
#include "contact_and_calendar_handler.h"
#include "vcard_line.h"

namespace {

// Base64 read leniently: white space, padding and stray characters anywhere are skipped (cards
// carry all three), and bits left over at the end are dropped.
std::string DecodeBase64(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+' || c == '-') {
      value = 62;
    } else if (c == '/' || c == '_') {
      value = 63;
    } else {
      continue;
    }
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return bytes;
}

// The image type the bytes begin with, null for none of the three the pages show.
const char* TypeOfBytes(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xFF\xD8\xFF") return "image/jpeg";
  if (bytes.substr(0, 8) == "\x89PNG\r\n\x1A\n") return "image/png";
  if (bytes.substr(0, 6) == "GIF87a" || bytes.substr(0, 6) == "GIF89a") return "image/gif";
  return nullptr;
}

// The image type a word names (JPEG, image/png, ...), null for another.
const char* TypeNamed(std::string_view word) {
  if (vcard::EqualsNoCase(word, "JPEG") || vcard::EqualsNoCase(word, "JPG") ||
      vcard::EqualsNoCase(word, "image/jpeg"))
    return "image/jpeg";
  if (vcard::EqualsNoCase(word, "PNG") || vcard::EqualsNoCase(word, "image/png"))
    return "image/png";
  if (vcard::EqualsNoCase(word, "GIF") || vcard::EqualsNoCase(word, "image/gif"))
    return "image/gif";
  return nullptr;
}

// The bytes and type of the first inline photo of `text`; false when it has none.
bool InlinePhoto(const std::string& text, std::string& bytes, const char*& type) {
  card::FieldSources sources;
  card::Record record;
  card::Read(text, false, record, &sources);
  for (std::size_t index : sources.photos) {
    vcard::ContentLine line;
    if (!vcard::SplitLine(sources.lines[index].logical, line) || !card::HoldsInlineData(line))
      continue;
    const char* declared = nullptr;
    std::string_view data = line.value;
    const std::size_t start = data.find_first_not_of(" \t");
    if (!vcard::IsBase64(line) && start != std::string_view::npos) {
      // data:image/png;base64,....
      data = data.substr(start + 5);
      const std::size_t comma = data.find(',');
      if (comma == std::string_view::npos) continue;
      const std::string_view media = data.substr(0, comma);
      if (media.find(";base64") == std::string_view::npos &&
          media.find(";BASE64") == std::string_view::npos)
        continue;
      declared = TypeNamed(media.substr(0, media.find(';')));
      data = data.substr(comma + 1);
    } else {
      std::vector<std::string_view> types;
      vcard::Types(line, types);
      for (std::string_view word : types) {
        if (!declared) declared = TypeNamed(word);
      }
    }
    bytes = DecodeBase64(data);
    if (bytes.empty()) continue;
    // The bytes say best what they are; a declared type serves for the rest.
    type = TypeOfBytes(bytes);
    if (!type) type = declared;
    if (type) return true;
  }
  return false;
}

// Whether an If-None-Match header names the validator `etag` (or any).
bool Matches(const char* header, const std::string& etag) {
  if (!header) return false;
  const std::string_view value(header);
  return value.find(etag) != std::string_view::npos || value.find('*') != std::string_view::npos;
}

}  // namespace

void ContactAndCalendarHandler::getPhoto() {
  _answersDownload = true;
  if (!hasParams(__LINE__, {"user", "id"})) return;
  std::string guid, resourceName;
  if (!findUser(__LINE__, false, {404, "", ""}, guid)) return;
  if (guid.empty() || !readTextParam("id", resourceName) || resourceName.empty()) {
    refuse(__LINE__, 404, "", "");
    return;
  }
  std::string text, md5, bytes;
  bool found = false;
  const char* type = nullptr;
  if (!_dbHandler.GetCard(guid, resourceName, text, md5, found) ||
      !InlinePhoto(text, bytes, type)) {
    refuse(__LINE__, 404, "", "");
    return;
  }
  const std::string etag = "\"" + md5 + "\"";
  // The browser keeps the photo for this person alone and asks again with the card's md5: an
  // edited card is a new md5.
  const std::string validators = "Cache-Control: private\r\nETag: " + etag + "\r\n";
  std::string header;
  if (Matches(std::getenv("HTTP_IF_NONE_MATCH"), etag)) {
    header = "Status: 304 Not Modified\r\n" + validators + "\r\n";
    bytes.clear();
  } else {
    header = "Content-Type: " + std::string(type) +
             "\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n" + validators + "\r\n";
  }
  std::fwrite(header.data(), 1, header.size(), stdout);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}
