// The vCard line layer shared by the reader, the import and the edit: logical lines (folds and
// quoted-printable soft breaks joined), a content line taken apart into group, name, parameters
// and value, value decoding, the text escapes, and the writer that folds long lines.
// It works on views of the caller's text and allocates only for lines that need joining or
// decoding, since the listing runs it over every line of thousands of cards.
#ifndef WEBAPI_VCARD_LINE_H
#define WEBAPI_VCARD_LINE_H

#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace vcard {

// The logical lines of a text, in order. A physical line ends at LF (its trailing CRs belong to
// the break, so CR LF and CR CR LF end a line alike); a text without any LF is split at CR. A line
// break followed by one space or tab continues the line: the break and that one character go, a
// further space is data. A quoted-printable value ending in '=' continues on the next physical
// line whatever it starts with. Blank and white-space-only lines are no lines and end a soft break.
class LineReader {
 public:
  explicit LineReader(std::string_view text);
  // The next logical line; false at the end. The view lasts until the next call.
  bool Next(std::string_view& line);
  // Where the rest of the text starts, for a caller that stops early.
  std::size_t Offset() const { return offset_; }

 private:
  std::string_view NextPhysical();
  std::string_view PeekPhysical(std::size_t& length);

  std::string_view text_;
  std::size_t offset_ = 0;
  char break_;  // LF, or CR for a text without any LF
  std::string joined_;
  std::size_t peekedAt_ = std::string_view::npos;
  std::size_t peekedLength_ = 0;
  std::string_view peeked_;
};

// Whether logical line `logical` is a quoted-printable value that ends in a soft break ('='), so
// that the next physical line continues it.
bool EndsInSoftBreak(std::string_view logical);

// Whether physical line `next` continues logical line `logical`: a fold (it starts with a space or
// tab) or a quoted-printable soft break (`logical` asks for quoted-printable and ends in '=');
// `softBreak` tells which. A blank line continues nothing.
bool Continues(std::string_view logical, std::string_view next, bool& softBreak);

// The same logical lines read from a stream a physical line at a time (LF ends a line), for files
// too large to hold at once. A logical line longer than `limit` bytes is cut there and `cut` says
// so; the rest of it is consumed.
class StreamLineReader {
 public:
  StreamLineReader(std::istream& in, std::size_t limit) : in_(in), limit_(limit) {}
  bool Next(std::string& line, bool& cut);

 private:
  bool ReadPhysical(std::string& line, bool& cut);

  std::istream& in_;
  std::size_t limit_;
  std::string pending_;
  bool havePending_ = false;
  bool pendingCut_ = false;
};

// One parameter as written: `name` is empty for a vCard 2.1 bare word (TEL;WORK;VOICE), and
// `value` is the raw text after '=' (quotes kept, comma lists unsplit).
struct Parameter {
  std::string_view name;
  std::string_view value;
};

struct ContentLine {
  std::string_view group;  // "" when the property has none
  std::string_view name;
  std::string_view head;  // everything before the value's ':' (group, name and parameters)
  std::vector<Parameter> parameters;
  std::string_view value;
};

// Takes `line` apart; false when it is no property (no ':' after a well-formed name, or a comment
// line). `line` keeps the views' text. `out` is reused so that its parameter list is allocated
// once.
bool SplitLine(std::string_view line, ContentLine& out);

// ASCII comparison without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// `text` with A to Z in lower case: groups compare without regard to case.
std::string LowerCase(std::string_view text);

// Whether the property is called `name`; property names compare without regard to case.
inline bool NameIs(const ContentLine& line, std::string_view name) {
  return EqualsNoCase(line.name, name);
}

// What a vCard 2.1 bare parameter word (TEL;WORK;QUOTED-PRINTABLE) stands for: a type, a transfer
// encoding that a decoded value no longer needs, base64, or a value kind.
enum class BareWord { kType, kTextEncoding, kBase64, kValueKind };
BareWord KindOfBareWord(std::string_view word);

// The values of a parameter value, appended to `values`: every comma and every quote separates
// (a quoted list "HOME,FAX" is read as the list it is meant to be), a backslash keeps the next
// character in the value, and empty values are left out.
void SplitParameterValues(std::string_view value, std::vector<std::string_view>& values);
std::vector<std::string_view> ParameterValues(std::string_view value);

// The type words of a line in `types`, each its own element: TYPE= lists (comma-separated, quoted
// or repeated) and the vCard 2.1 bare words that are neither an encoding nor a value kind, in
// order. `types` is reused, so that a listing allocates it once.
void Types(const ContentLine& line, std::vector<std::string_view>& types);

// The value of the first parameter called `name` (any case); `found` says whether there is one.
std::string_view ParameterValue(const ContentLine& line, std::string_view name, bool* found);

bool IsQuotedPrintable(const ContentLine& line);
bool IsBase64(const ContentLine& line);

// Bytes of `line` (its value, or a parameter) as UTF-8 in `out`, by the one rule for a value's
// character set. A line that names a CHARSET iconv knows is read in that set alone, each byte that
// is invalid in it becoming one U+FFFD: one stray byte must not turn the rest into mojibake. Only a
// line that names no set (or one iconv does not know) is guessed: UTF-8 as they are, else `legacy`
// (a file's detected character set, given only by the import; a reading with C1 control
// characters is refused), else windows-1252. False when none of them reads the bytes.
bool ValueAsUtf8(std::string_view bytes, const ContentLine& line, std::string& out,
                 const std::function<const std::string&()>& legacy = nullptr);

// The value as UTF-8 vCard 3.0 text: a quoted-printable value decoded, read by ValueAsUtf8 (the
// bytes as they are when nothing reads them) and its line breaks written "\n". Returns the raw
// value itself when it needs none of that, else a view of `storage`.
std::string_view DecodedValue(const ContentLine& line, std::string& storage);

std::string DecodeQuotedPrintable(std::string_view text);

// `bytes` in `charset` as UTF-8; false when the charset is unknown or the bytes are not of it.
bool ConvertToUtf8(std::string_view bytes, const std::string& charset, std::string& out);
// `bytes` in `charset` as UTF-8, each byte invalid in it as U+FFFD; false only when iconv does not
// know the charset (or its reading is still no UTF-8).
bool ConvertToUtf8Replacing(std::string_view bytes, const std::string& charset, std::string& out);
bool IsUtf8(std::string_view text);

// How many backslashes `text` ends in.
std::size_t TrailingBackslashes(std::string_view text);
// Whether `text` ends in an escape that escapes nothing yet: an odd run of backslashes.
inline bool EndsInEscape(std::string_view text) { return TrailingBackslashes(text) % 2 == 1; }

// vCard text escapes: `\\`, `\,`, `\;` and `\n`/`\N`; any other backslash stays as it is.
std::string UnescapeText(std::string_view text);
// A person's text as a vCard text value (structured: each ';' and ',' escaped too).
std::string EscapeText(std::string_view text);
// Each run of CR and LF as one space: a one-line value never starts a property of its own.
std::string JoinLineBreaks(std::string_view text);
// Each run of CR and LF as the escape "\n".
std::string EscapeLineBreaks(std::string_view text);
// `text` split at each `separator` that is not escaped by a backslash; escapes stay as they are.
std::vector<std::string_view> SplitUnescaped(std::string_view text, char separator);

// A type word as a parameter value in `spelled`: as it is, or quoted when it holds ':', ';' or
// ',' (a quoted value may hold them). False when no parameter value can hold it as it is: a '"', a
// control character other than tab, or an odd run of trailing backslashes (it would escape what
// follows). A word that could change the line's structure is never written bare.
bool SpellParameterValue(std::string_view word, std::string& spelled);

// Appends `line` and CR LF to `out`, folded so that no physical line exceeds 75 octets, no UTF-8
// sequence is split and no continuation line starts with a space or tab: a continuation holding
// only white space would read as a blank line and end the value. A run of white space too long
// to fold around stays whole on its line, which is then longer.
void AppendFolded(std::string& out, std::string_view line);

}  // namespace vcard

#endif  // WEBAPI_VCARD_LINE_H
