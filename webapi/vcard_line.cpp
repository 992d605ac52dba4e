// The vCard line layer: unfolding, content lines, value decoding, escapes and folding. Character
// sets are converted with iconv, never with tables of our own.
#include "vcard_line.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace vcard {

namespace {

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

LineReader::LineReader(std::string_view text)
    : text_(text), break_(text.find('\n') == std::string_view::npos ? '\r' : '\n') {}

std::string_view LineReader::PeekPhysical(std::size_t& length) {
  // The line looked at to see whether it continues the last one is read next: found once.
  if (peekedAt_ == offset_) {
    length = peekedLength_;
    return peeked_;
  }
  std::size_t end = text_.find(break_, offset_);
  length = (end == std::string_view::npos ? text_.size() : end + 1) - offset_;
  std::string_view line =
      text_.substr(offset_, (end == std::string_view::npos ? text_.size() : end) - offset_);
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  peekedAt_ = offset_;
  peekedLength_ = length;
  peeked_ = line;
  return line;
}

std::string_view LineReader::NextPhysical() {
  std::size_t length = 0;
  std::string_view line = PeekPhysical(length);
  offset_ += length;
  return line;
}

bool EndsInSoftBreak(std::string_view logical) {
  if (logical.empty() || logical.back() != '=') return false;
  // Taken apart as the decoder takes it, so that a type word or another parameter's value that
  // merely holds the word never joins the next line to this one. Only lines ending in '=' pay.
  thread_local ContentLine split;
  return SplitLine(logical, split) && IsQuotedPrintable(split);
}

bool Continues(std::string_view logical, std::string_view next, bool& softBreak) {
  softBreak = false;
  if (IsBlank(next)) return false;
  softBreak = EndsInSoftBreak(logical);
  return softBreak || next[0] == ' ' || next[0] == '\t';
}

bool LineReader::Next(std::string_view& line) {
  std::string_view first;
  do {
    if (offset_ >= text_.size()) return false;
    first = NextPhysical();
  } while (IsBlank(first));

  std::string_view logical = first;
  bool copied = false;
  while (offset_ < text_.size()) {
    std::size_t length = 0;
    std::string_view next = PeekPhysical(length);
    bool softBreak = false;
    if (!Continues(logical, next, softBreak)) break;
    if (!copied) {
      joined_.assign(logical.data(), logical.size());
      copied = true;
    }
    if (softBreak) {
      joined_.pop_back();
      joined_.append(next.data(), next.size());
    } else {
      joined_.append(next.data() + 1, next.size() - 1);
    }
    logical = joined_;
    offset_ += length;
  }
  line = logical;
  return true;
}

bool StreamLineReader::ReadPhysical(std::string& line, bool& cut) {
  line.clear();
  cut = false;
  bool extracted = false;
  char chunk[64 * 1024];
  for (;;) {
    in_.getline(chunk, sizeof chunk);
    const std::size_t got = static_cast<std::size_t>(in_.gcount());
    extracted = extracted || got > 0;
    const bool full = in_.fail() && !in_.eof() && got == sizeof chunk - 1;
    if (in_.fail() && !in_.eof() && !full) break;  // unreadable file or read error
    // Without end of file or a full chunk, getline consumed the line feed and counted it.
    const std::size_t kept = (full || in_.eof()) ? got : got - 1;
    const std::size_t room = line.size() < limit_ ? limit_ - line.size() : 0;
    if (kept > room) cut = true;
    line.append(chunk, kept < room ? kept : room);
    if (!full) break;
    in_.clear();
  }
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return extracted;
}

bool StreamLineReader::Next(std::string& line, bool& cut) {
  do {
    if (havePending_) {
      line.swap(pending_);
      cut = pendingCut_;
      havePending_ = false;
    } else if (!ReadPhysical(line, cut)) {
      return false;
    }
  } while (IsBlank(line));
  while (ReadPhysical(pending_, pendingCut_)) {
    bool softBreak = false;
    if (!Continues(line, pending_, softBreak)) {
      havePending_ = true;
      return true;
    }
    if (softBreak) line.pop_back();
    const std::size_t skip = softBreak ? 0 : 1;
    const std::size_t room = line.size() < limit_ ? limit_ - line.size() : 0;
    const std::size_t add = pending_.size() - skip;
    if (add > room || pendingCut_) cut = true;
    line.append(pending_, skip, add < room ? add : room);
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

BareWord KindOfBareWord(std::string_view word) {
  static constexpr struct {
    std::string_view word;
    BareWord kind;
  } kWords[] = {{"QUOTED-PRINTABLE", BareWord::kTextEncoding},
                {"8BIT", BareWord::kTextEncoding},
                {"7BIT", BareWord::kTextEncoding},
                {"BASE64", BareWord::kBase64},
                {"B", BareWord::kBase64},
                {"INLINE", BareWord::kValueKind},
                {"URL", BareWord::kValueKind},
                {"CONTENT-ID", BareWord::kValueKind},
                {"CID", BareWord::kValueKind}};
  for (const auto& known : kWords) {
    if (EqualsNoCase(word, known.word)) return known.kind;
  }
  return BareWord::kType;
}

bool SplitLine(std::string_view line, ContentLine& out) {
  out.group = {};
  out.parameters.clear();
  std::size_t i = 0;
  while (i < line.size() && IsNameChar(line[i])) ++i;
  if (i == 0 || i == line.size()) return false;
  out.name = line.substr(0, i);
  if (line[i] == '.') {
    const std::size_t start = ++i;
    while (i < line.size() && IsNameChar(line[i])) ++i;
    if (i == start || i == line.size()) return false;
    out.group = out.name;
    out.name = line.substr(start, i - start);
  }
  while (i < line.size() && line[i] == ';') {
    const std::size_t start = ++i;
    std::size_t equals = std::string_view::npos;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '"') quoted = !quoted;
      if (quoted) continue;
      if (c == ';' || c == ':') break;
      if (c == '=' && equals == std::string_view::npos) equals = i;
    }
    if (i == line.size()) return false;
    std::string_view text = line.substr(start, i - start);
    if (text.empty()) continue;
    if (equals == std::string_view::npos) {
      out.parameters.push_back({std::string_view(), text});
    } else {
      out.parameters.push_back(
          {line.substr(start, equals - start), line.substr(equals + 1, i - equals - 1)});
    }
  }
  if (i >= line.size() || line[i] != ':') return false;
  out.head = line.substr(0, i);
  out.value = line.substr(i + 1);
  return true;
}

void SplitParameterValues(std::string_view value, std::vector<std::string_view>& values) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= value.size(); ++i) {
    if (i < value.size() && value[i] == '\\') {
      ++i;
      continue;
    }
    if (i < value.size() && value[i] != ',' && value[i] != '"') continue;
    if (i > start) values.push_back(value.substr(start, i - start));
    start = i + 1;
  }
}

std::vector<std::string_view> ParameterValues(std::string_view value) {
  std::vector<std::string_view> values;
  SplitParameterValues(value, values);
  return values;
}

void Types(const ContentLine& line, std::vector<std::string_view>& types) {
  types.clear();
  for (const Parameter& parameter : line.parameters) {
    if (parameter.name.empty()) {
      if (KindOfBareWord(parameter.value) == BareWord::kType) types.push_back(parameter.value);
    } else if (EqualsNoCase(parameter.name, "TYPE")) {
      SplitParameterValues(parameter.value, types);
    }
  }
}

std::string_view ParameterValue(const ContentLine& line, std::string_view name, bool* found) {
  for (const Parameter& parameter : line.parameters) {
    if (!parameter.name.empty() && EqualsNoCase(parameter.name, name)) {
      if (found) *found = true;
      std::string_view value = parameter.value;
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  if (found) *found = false;
  return {};
}

bool IsQuotedPrintable(const ContentLine& line) {
  for (const Parameter& parameter : line.parameters) {
    const bool encoding = parameter.name.empty() || EqualsNoCase(parameter.name, "ENCODING");
    if (encoding && EqualsNoCase(parameter.value, "QUOTED-PRINTABLE")) return true;
  }
  return false;
}

bool IsBase64(const ContentLine& line) {
  for (const Parameter& parameter : line.parameters) {
    const bool encoding = parameter.name.empty() || EqualsNoCase(parameter.name, "ENCODING");
    if (encoding && (EqualsNoCase(parameter.value, "BASE64") || EqualsNoCase(parameter.value, "B")))
      return true;
  }
  return false;
}

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
      continue;
    }
    if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
      continue;
    }
    // A soft break at the very end of a value means nothing; a stray '=' is kept as data.
    if (i + 1 == text.size()) break;
    out += '=';
  }
  return out;
}

bool IsUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    unsigned int code = 0;
    if ((*p & 0xE0) == 0xC0) {
      extra = 1;
      code = *p & 0x1F;
    } else if ((*p & 0xF0) == 0xE0) {
      extra = 2;
      code = *p & 0x0F;
    } else if ((*p & 0xF8) == 0xF0) {
      extra = 3;
      code = *p & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (p[k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const unsigned int kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

namespace {

// `bytes` in `charset` as UTF-8. With `replace`, an invalid or cut-off sequence loses its first
// byte alone, written as U+FFFD, and the reading goes on after it; without, it fails the whole.
bool Convert(std::string_view bytes, const std::string& charset, bool replace, std::string& out) {
  out.clear();
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(bytes);
  char* in = input.data();
  std::size_t inLeft = input.size();
  bool ok = true;
  while (inLeft > 0) {
    char buffer[4096];
    char* outPointer = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = iconv(cd, &in, &inLeft, &outPointer, &outLeft);
    out.append(buffer, sizeof buffer - outLeft);
    if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    if (!replace) {
      ok = false;
      break;
    }
    out += "\xEF\xBF\xBD";
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  if (ok) {
    char buffer[64];
    char* outPointer = buffer;
    std::size_t outLeft = sizeof buffer;
    if (iconv(cd, nullptr, nullptr, &outPointer, &outLeft) == static_cast<std::size_t>(-1) &&
        !replace) {
      ok = false;
    }
    out.append(buffer, sizeof buffer - outLeft);
  }
  iconv_close(cd);
  return ok && IsUtf8(out);
}

}  // namespace

bool ConvertToUtf8(std::string_view bytes, const std::string& charset, std::string& out) {
  return Convert(bytes, charset, false, out);
}

bool ConvertToUtf8Replacing(std::string_view bytes, const std::string& charset, std::string& out) {
  return Convert(bytes, charset, true, out);
}

bool ValueAsUtf8(std::string_view bytes, const ContentLine& line, std::string& out,
                 const std::function<const std::string&()>& legacy) {
  bool hasCharset = false;
  const std::string charset(ParameterValue(line, "CHARSET", &hasCharset));
  if (hasCharset && ConvertToUtf8Replacing(bytes, charset, out)) return true;
  if (IsUtf8(bytes)) {
    out.assign(bytes.data(), bytes.size());
    return true;
  }
  // C1 control characters never stand in real text: such a reading is windows-1252 after all.
  if (legacy && ConvertToUtf8(bytes, legacy(), out)) {
    bool control = false;
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
      const unsigned char next = static_cast<unsigned char>(out[i + 1]);
      control = control || (out[i] == '\xC2' && next >= 0x80 && next <= 0x9F);
    }
    if (!control) return true;
  }
  if (ConvertToUtf8(bytes, "WINDOWS-1252", out)) return true;
  out.clear();
  return false;
}

std::string_view DecodedValue(const ContentLine& line, std::string& storage) {
  // A stored card is UTF-8 text (the database holds nothing else) whatever CHARSET its lines
  // name: only the bytes that quoted-printable decodes are still in the line's set.
  if (!IsQuotedPrintable(line)) return line.value;
  std::string bytes = DecodeQuotedPrintable(line.value);
  std::string text;
  if (!ValueAsUtf8(bytes, line, text)) text = std::move(bytes);
  storage = EscapeLineBreaks(text);
  return storage;
}

std::size_t TrailingBackslashes(std::string_view text) {
  std::size_t count = 0;
  while (count < text.size() && text[text.size() - 1 - count] == '\\') ++count;
  return count;
}

std::string UnescapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[i + 1];
    if (next == '\\' || next == ',' || next == ';') {
      out += next;
    } else if (next == 'n' || next == 'N') {
      out += '\n';
    } else {
      out += '\\';
      continue;
    }
    ++i;
  }
  return out;
}

std::string JoinLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      out += text[i];
      continue;
    }
    out += ' ';
    while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n')) ++i;
  }
  return out;
}

std::string EscapeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += "\\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] == '\n') {
      out += "\\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' || c == ',' || c == ';') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      out += "\\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string_view> SplitUnescaped(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
      continue;
    }
    if (text[i] == separator) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

bool SpellParameterValue(std::string_view word, std::string& spelled) {
  bool quote = false;
  for (char c : word) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || (byte < 0x20 && c != '\t') || byte == 0x7F) return false;
    quote = quote || c == ':' || c == ';' || c == ',';
  }
  // The readers take a backslash as keeping the next character: a trailing one would take the
  // closing quote or lose the word.
  if (EndsInEscape(word)) return false;
  spelled.clear();
  if (quote) spelled += '"';
  spelled.append(word.data(), word.size());
  if (quote) spelled += '"';
  return true;
}

void AppendFolded(std::string& out, std::string_view line) {
  constexpr std::size_t kWidth = 75;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  auto inSequence = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
  std::size_t room = kWidth;
  while (line.size() > room) {
    // The next line starts at a character that is neither inside a UTF-8 sequence nor white.
    std::size_t cut = room;
    while (cut > 0 && (inSequence(line[cut]) || blank(line[cut]))) --cut;
    if (cut == 0) {
      cut = room;
      while (cut < line.size() && (inSequence(line[cut]) || blank(line[cut]))) ++cut;
      if (cut == line.size()) break;
    }
    out.append(line.data(), cut);
    out += "\r\n ";
    line.remove_prefix(cut);
    room = kWidth - 1;
  }
  out.append(line.data(), line.size());
  out += "\r\n";
}

}  // namespace vcard
