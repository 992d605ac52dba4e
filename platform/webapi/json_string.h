// JSON strings as JsonCpp's writer spells them, for every writer of reply text: the front's
// encoder of result trees and a module that writes its list elements as text itself. Both must
// give the same bytes for the same string.
#ifndef ORVA_JSON_STRING_H
#define ORVA_JSON_STRING_H

#include <cstddef>
#include <string>
#include <string_view>

namespace ORVA {

namespace json_string {

// Bytes that stand for themselves inside a JSON string as JsonCpp writes it: printable ASCII
// and DEL, except the quote and the backslash.
struct PlainBytes {
  bool plain[256] = {};
  PlainBytes() {
    for (int c = 0x20; c <= 0x7f; ++c) plain[c] = c != '"' && c != '\\';
  }
};
inline const PlainBytes kPlain;

// Length of the valid UTF-8 sequence at `p` (2 to 4 bytes) with its code point in `code`, or 0
// when the bytes there are not one: overlong forms, surrogates, code points past U+10FFFF and cut
// sequences are all refused.
inline int DecodeUtf8(const unsigned char* p, const unsigned char* end, unsigned* code) {
  const unsigned char lead = p[0];
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (end - p < length || p[1] < low || p[1] > high) return 0;
  unsigned value = lead & (0x7f >> length);
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3f);
  }
  *code = value;
  return length;
}

template <class Sink>
void PutUnicodeEscape(Sink& sink, unsigned unit) {
  static const char kHex[] = "0123456789abcdef";
  const char text[6] = {'\\',
                        'u',
                        kHex[(unit >> 12) & 0xf],
                        kHex[(unit >> 8) & 0xf],
                        kHex[(unit >> 4) & 0xf],
                        kHex[unit & 0xf]};
  sink.Put(text, sizeof text);
}

template <class Sink>
void PutString(Sink& sink, const char* begin, const char* end) {
  const auto* p = reinterpret_cast<const unsigned char*>(begin);
  const auto* stop = reinterpret_cast<const unsigned char*>(end);
  sink.Put("\"", 1);
  while (p < stop) {
    const unsigned char* run = p;
    while (p < stop && kPlain.plain[*p]) ++p;
    if (p > run) sink.Put(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == stop) break;
    const unsigned char c = *p;
    if (c >= 0x80) {
      unsigned code = 0xfffd;
      const int length = DecodeUtf8(p, stop, &code);
      p += length > 0 ? length : 1;
      if (code >= 0x10000) {
        code -= 0x10000;
        PutUnicodeEscape(sink, 0xd800 + (code >> 10));
        PutUnicodeEscape(sink, 0xdc00 + (code & 0x3ff));
      } else {
        PutUnicodeEscape(sink, code);
      }
      continue;
    }
    ++p;
    switch (c) {
      case '"':
        sink.Put("\\\"", 2);
        break;
      case '\\':
        sink.Put("\\\\", 2);
        break;
      case '\b':
        sink.Put("\\b", 2);
        break;
      case '\f':
        sink.Put("\\f", 2);
        break;
      case '\n':
        sink.Put("\\n", 2);
        break;
      case '\r':
        sink.Put("\\r", 2);
        break;
      case '\t':
        sink.Put("\\t", 2);
        break;
      default:
        PutUnicodeEscape(sink, c);
    }
  }
  sink.Put("\"", 1);
}

}  // namespace json_string

// Writes `text` as a quoted JSON string to `sink` (anything with Put(const char*, size_t)):
// characters outside ASCII as \u escapes; a byte that is not part of a valid UTF-8 sequence
// becomes \ufffd on its own and the bytes after it are read afresh.
template <class Sink>
void PutJsonString(Sink& sink, std::string_view text) {
  json_string::PutString(sink, text.data(), text.data() + text.size());
}

// The same appended to `out`.
inline void AppendJsonString(std::string_view text, std::string* out) {
  struct Appender {
    std::string* out;
    void Put(const char* data, std::size_t size) { out->append(data, size); }
  } sink{out};
  PutJsonString(sink, text);
}

}  // namespace ORVA

#endif  // ORVA_JSON_STRING_H
