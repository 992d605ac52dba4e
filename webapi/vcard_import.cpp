// Reading an uploaded .vcf file into clean vCard 3.0 cards. Character sets are converted with
// iconv, a file's legacy character set detected by uchardet.
#include "vcard_import.h"

#include <uchardet/uchardet.h>

#include <fstream>
#include <istream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "vcard_line.h"

namespace vcard {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// BEGIN:VCARD or END:VCARD in any case; words after VCARD (a stray line folded onto it) do not
// make it something else.
bool IsCardDelimiter(const ContentLine& line, std::string_view name) {
  const std::string_view value = line.value.substr(0, line.value.find_first_of(" \t"));
  return line.group.empty() && NameIs(line, name) && EqualsNoCase(value, "VCARD");
}

// Properties whose values are not text (dates, URIs, binary data, coordinates): their values are
// taken over without adding text escapes.
bool HoldsNonText(const ContentLine& line) {
  static constexpr std::string_view kNames[] = {"URL",         "PHOTO", "LOGO",   "SOUND",    "KEY",
                                                "BDAY",        "REV",   "GEO",    "TZ",       "UID",
                                                "ANNIVERSARY", "FBURL", "CALURI", "CALADRURI"};
  for (std::string_view name : kNames) {
    if (NameIs(line, name)) return true;
  }
  bool hasValue = false;
  const std::string_view value = ParameterValue(line, "VALUE", &hasValue);
  return hasValue && !EqualsNoCase(value, "text");
}

// Properties whose ';' separate components (kept as they are) rather than being text.
bool IsStructured(const ContentLine& line) {
  return NameIs(line, "N") || NameIs(line, "ADR") || NameIs(line, "ORG");
}

// A vCard 2.1 value as vCard 3.0 text: its escapes (\\, \;, \, and \n) stay, a lone backslash is
// doubled, line breaks become \n, and commas, and semicolons of a text that has no components, are
// escaped.
std::string TextFromVersion21(std::string_view value, bool structured) {
  std::string out;
  out.reserve(value.size() + 8);
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\') {
      const char next = i + 1 < value.size() ? value[i + 1] : '\0';
      if (next == '\\' || next == ';' || next == ',' || next == 'n' || next == 'N') {
        out += c;
        out += next;
        ++i;
      } else {
        out += "\\\\";
      }
    } else if (c == '\r' || c == '\n') {
      out += "\\n";
      if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
    } else if (c == ',' || (c == ';' && !structured)) {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

// The file's bytes in a legacy character set are detected once, from the whole file, by uchardet.
class LegacyCharset {
 public:
  explicit LegacyCharset(std::string path) : _path(std::move(path)) {}
  const std::string& Get() {
    if (_detected) return _charset;
    _detected = true;
    std::ifstream file(_path, std::ios::binary);
    uchardet_t detector = uchardet_new();
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
      uchardet_handle_data(detector, buffer, static_cast<std::size_t>(file.gcount()));
    }
    uchardet_data_end(detector);
    const char* name = uchardet_get_charset(detector);
    // Files that call themselves Latin-1 are windows-1252 in practice (its euro sign, quotes).
    const std::string detected = name ? name : "";
    const bool latin1 = detected == "ISO-8859-1" || detected == "ASCII" || detected.empty();
    _charset = latin1 ? "WINDOWS-1252" : detected;
    uchardet_delete(detector);
    return _charset;
  }

 private:
  std::string _path;
  std::string _charset;
  bool _detected = false;
};

// Bytes of `line` as UTF-8 by the line layer's rule, with the file's detected character set
// before windows-1252.
std::string AsUtf8(std::string_view bytes, const ContentLine& line, LegacyCharset& legacy) {
  std::string text;
  if (ValueAsUtf8(bytes, line, text, [&legacy]() -> const std::string& { return legacy.Get(); }))
    return text;
  // Every byte has a meaning in windows-1252 but five; those become U+FFFD.
  for (char c : bytes)
    text += (static_cast<unsigned char>(c) < 0x80) ? std::string(1, c) : "\xEF\xBF\xBD";
  return text;
}

// One property of the file as a vCard 3.0 line: parameters kept but the encoding and character
// set, which the decoded value no longer needs (base64 is written ENCODING=b), and vCard 2.1 bare
// words written as TYPE= (or VALUE=) parameters.
std::string Version30Line(const ContentLine& line, bool version21, LegacyCharset& legacy) {
  std::string out;
  if (!line.group.empty()) out.append(line.group).append(".");
  // An all-lower-case name (old Netscape and Thunderbird exports) is written in capitals; any
  // other keeps its spelling, since some clients look for X-ABLabel as written.
  bool lower = true;
  for (char c : line.name) lower = lower && !(c >= 'A' && c <= 'Z');
  for (char c : line.name) {
    out += lower ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
  }
  const bool quotedPrintable = IsQuotedPrintable(line);
  const bool base64 = IsBase64(line);
  for (const Parameter& parameter : line.parameters) {
    const std::string_view word = parameter.value;
    if (parameter.name.empty()) {
      const BareWord kind = KindOfBareWord(word);
      if (kind == BareWord::kBase64) {
        out += ";ENCODING=b";
      } else if (kind != BareWord::kTextEncoding) {
        out.append(kind == BareWord::kValueKind ? ";VALUE=" : ";TYPE=")
            .append(AsUtf8(word, line, legacy));
      }
      continue;
    }
    if (EqualsNoCase(parameter.name, "ENCODING")) {
      if (base64) out += ";ENCODING=b";
      continue;
    }
    if (EqualsNoCase(parameter.name, "CHARSET")) continue;
    out.append(";")
        .append(AsUtf8(parameter.name, line, legacy))
        .append("=")
        .append(AsUtf8(word, line, legacy));
  }
  out += ':';

  std::string value;
  if (quotedPrintable) {
    value = AsUtf8(DecodeQuotedPrintable(line.value), line, legacy);
  } else {
    value = AsUtf8(line.value, line, legacy);
  }
  if (base64) {
    // Base64 data folded with extra spaces (as some address books write it) is one run of text.
    std::string data;
    for (char c : value) {
      if (c != ' ' && c != '\t' && c != '\r') data += c;
    }
    value.swap(data);
  } else if (version21 && !HoldsNonText(line)) {
    value = TextFromVersion21(value, IsStructured(line));
  } else {
    value = EscapeLineBreaks(value);
  }
  out += value;
  // A CR left in a name or parameter would end the line for other readers.
  for (char& c : out) {
    if (c == '\r') c = ' ';
  }
  return out;
}

// How a vCard 2.1 value that ends in a backslash goes on: the next line is a line break and more
// of the value, read in the line's character set. The written value ends in that backslash,
// doubled in a text and alone in any other value; base64 data takes no line break.
struct Continuation {
  std::size_t written = 0;  // how many bytes the trailing backslash takes in the written line
  bool text = false;
  bool structured = false;
  bool base64 = false;
  bool hasCharset = false;
  std::string charset;

  static Continuation Of(const ContentLine& line) {
    Continuation next;
    // The same kinds of value as Version30Line writes.
    next.base64 = IsBase64(line);
    next.text = !next.base64 && !HoldsNonText(line);
    next.written = next.text ? 2 : 1;
    next.structured = IsStructured(line);
    next.charset = std::string(ParameterValue(line, "CHARSET", &next.hasCharset));
    return next;
  }

  // `more` (a line of the file) as the written value goes on after the trailing backslash.
  std::string Written(std::string_view more, LegacyCharset& legacy) const {
    ContentLine line;
    if (hasCharset) line.parameters.push_back({"CHARSET", charset});
    const std::string bytes = AsUtf8(more, line, legacy);
    if (base64) {
      std::string data;
      for (char c : bytes) {
        if (c != ' ' && c != '\t' && c != '\r') data += c;
      }
      return data;
    }
    return "\\n" + (text ? TextFromVersion21(bytes, structured) : EscapeLineBreaks(bytes));
  }
};

// A card being read: its lines so far (before UID, VERSION and END), its place in the file and
// the UID it will be stored under.
struct OpenCard {
  int number = 0;
  std::string uid;
  std::string lines;
  bool version21 = false;
  bool oversized = false;
  std::string lastValueLine;  // the last property, kept open for a vCard 2.1 backslash continuation
  bool continues = false;     // its vCard 2.1 value ended in a backslash
  Continuation continuation;  // how the next line continues it
};

// The file's bytes ready for line reading: UTF-16 (by its byte-order mark) as UTF-8, a UTF-8
// byte-order mark dropped. Null for a file that cannot be read.
std::unique_ptr<std::istream> OpenText(const std::string& path) {
  auto file = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
  if (!*file) return nullptr;
  char mark[3] = {0, 0, 0};
  file->read(mark, 3);
  const std::size_t got = static_cast<std::size_t>(file->gcount());
  file->clear();
  const bool utf16le = got >= 2 && mark[0] == '\xFF' && mark[1] == '\xFE';
  const bool utf16be = got >= 2 && mark[0] == '\xFE' && mark[1] == '\xFF';
  if (utf16le || utf16be) {
    file->seekg(2);
    std::ostringstream bytes;
    bytes << file->rdbuf();
    std::string text;
    if (!ConvertToUtf8(bytes.str(), utf16le ? "UTF-16LE" : "UTF-16BE", text)) return nullptr;
    return std::make_unique<std::istringstream>(std::move(text));
  }
  const bool utf8Mark = got == 3 && mark[0] == '\xEF' && mark[1] == '\xBB' && mark[2] == '\xBF';
  file->seekg(utf8Mark ? 3 : 0);
  return file;
}

}  // namespace

bool ReadCardsOfFile(const std::string& path, const std::function<std::string()>& newUid,
                     const std::function<void(const ImportedCard&)>& finished,
                     const std::function<void(const ImportedCard&)>& tooLarge) {
  std::unique_ptr<std::istream> text = OpenText(path);
  if (!text) return false;
  LegacyCharset legacy(path);
  std::vector<OpenCard> open;  // a card nested in another is a card of its own
  int cardNumber = 0;

  auto flushLast = [](OpenCard& card) {
    card.continues = false;
    if (card.lastValueLine.empty()) return;
    card.lines += card.lastValueLine;
    card.lines += "\r\n";
    card.lastValueLine.clear();
  };
  auto finish = [&](OpenCard& card) {
    flushLast(card);
    if (card.oversized) return;  // reported when it went over the limit
    ImportedCard done{card.number, card.uid, "BEGIN:VCARD\r\n"};
    done.text += card.lines;
    done.text += "VERSION:3.0\r\nUID:" + card.uid + "\r\nEND:VCARD\r\n";
    finished(done);
  };

  std::string logical;
  bool cut = false;
  ContentLine line;
  StreamLineReader reader(*text, kCardLimit);
  while (reader.Next(logical, cut)) {
    const bool property = SplitLine(logical, line);
    if (property && IsCardDelimiter(line, "BEGIN")) {
      OpenCard card;
      card.number = ++cardNumber;
      card.uid = newUid();
      open.push_back(std::move(card));
      continue;
    }
    if (open.empty()) continue;
    OpenCard& card = open.back();
    if (property && IsCardDelimiter(line, "END")) {
      finish(card);
      open.pop_back();
      continue;
    }
    if (card.oversized) continue;
    if (cut || card.lines.size() + logical.size() > kCardLimit) {
      tooLarge(ImportedCard{card.number, card.uid, std::string()});
      card.oversized = true;
      card.lines.clear();
      card.lines.shrink_to_fit();
      card.lastValueLine.clear();
      continue;
    }
    if (!property) {
      // vCard 2.1 continues a value that ends in a backslash on the next line; the written value
      // ends in that backslash, which the continuation replaces.
      const std::size_t escape = card.continuation.written;
      if (card.continues && card.lastValueLine.size() >= escape) {
        card.lastValueLine.resize(card.lastValueLine.size() - escape);
        card.lastValueLine += card.continuation.Written(logical, legacy);
        card.continues = EndsInEscape(logical);
      }
      continue;  // anything else that is no property (comments, junk) is not kept
    }
    if (NameIs(line, "VERSION")) {
      card.version21 = StartsWith(line.value, "2.");
      continue;
    }
    // A fresh UID is given; the file's own UID, VERSION and REV lines, in any case or group,
    // would stand beside the ones written.
    if (NameIs(line, "UID") || NameIs(line, "REV")) continue;
    // A BEGIN or END of anything but a card is no property; written, it would end the card early.
    if (NameIs(line, "BEGIN") || NameIs(line, "END")) continue;
    flushLast(card);
    card.lastValueLine = Version30Line(line, card.version21, legacy);
    card.continues = card.version21 && !IsQuotedPrintable(line) && EndsInEscape(line.value);
    if (card.continues) card.continuation = Continuation::Of(line);
  }
  // Cards still open at the end of the file are kept, the innermost first.
  while (!open.empty()) {
    finish(open.back());
    open.pop_back();
  }
  return true;
}

}  // namespace vcard
