// The card model: a stored vCard text read as the card record the pages show, the record of a
// new card written as vCard text, and an edit merged into the stored card. Free functions with no
// state between calls, shared by the listing, the edit, the fuzz targets and the benches.
#ifndef WEBAPI_CARD_MODEL_H
#define WEBAPI_CARD_MODEL_H

#include <json/value.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "vcard_line.h"

namespace card {

// The four kinds of entry: the property name, which is also the label of an ungrouped entry, and
// the record's list of them. In the order a new card writes them and an edit adds them.
struct EntryKind {
  const char* property;
  const char* list;
};
inline constexpr std::size_t kEntryKindCount = 4;
extern const EntryKind kEntryKinds[kEntryKindCount];
// A record's lists by kind, in kEntryKinds' order.
enum EntryList : std::size_t { kMailList, kTelList, kAdrList, kUrlList };

// The kind of a property name (any case), null for none.
const EntryKind* EntryKindNamed(std::string_view property);

// One logical line of a stored card: its bytes as stored (line ends, folds and the blank lines
// before it included) and the line unfolded.
struct StoredLine {
  std::string_view raw;
  std::string logical;
};

// Where the fields of a record came from in the card text it was read from: indices into `lines`
// (`lines.size()` for none). Groups are keyed in lower case: they compare without regard to case.
struct FieldSources {
  std::vector<StoredLine> lines;                           // every logical line of the text
  std::string_view tail;                                   // what follows the last line
  std::size_t end = 0;                                     // the END line
  std::size_t formattedName = 0;                           // the first FN line
  std::map<std::string, std::size_t> singles;              // "N", "NOTE", "ORG", "TITLE", "BDAY"
  std::vector<std::size_t> entries[kEntryKindCount];       // per kind, one line per record entry
  std::map<std::string, std::vector<std::size_t>> groups;  // group -> its lines before END
  std::map<std::string, std::size_t> labels;               // group -> its X-ABLabel line
  std::vector<std::size_t> categories;                     // CATEGORIES lines before END
  std::vector<std::size_t> photos;                         // PHOTO lines before END
};

// One phone, e-mail, address or web address of a record. Texts are vCard text as stored.
struct Entry {
  std::string key;                 // the property name as written, group included
  std::string group;               // the group as written; "" for none
  std::string label;               // what the pages show it as: its group's label, else its kind
  bool labelled = true;            // false for a grouped entry whose group has no label
  std::vector<std::string> types;  // its TYPE words
  std::string data;
};

// The record the listing shows for a stored card text (without id, resource_id and etag), as
// plain fields: a listing reads one card after the other into the same Record, then writes it
// out as JSON text, without a document tree per card.
struct Record {
  std::string familyName, givenName, additionalName;
  std::string org, title, note;
  std::string bday;
  bool hasBday = false;
  std::vector<Entry> entries[kEntryKindCount];  // by kind, in kEntryKinds' order
  std::string other;                            // the lines no field holds, each ending CRLF
  // Version 2 of the listing: `other` holds no line carrying inline binary data (PHOTO, LOGO,
  // SOUND, KEY), `photo` says whether the card has an inline photo and `categories` lists its
  // groups as vCard text.
  bool lean = false;
  bool photo = false;
  std::vector<std::string> categories;

  void Clear();
};

// Reads `text` into `record` (version 2's record with `lean`); with `sources`, also where each
// field came from. Any text reads as some record.
void Read(std::string_view text, bool lean, Record& record, FieldSources* sources = nullptr);

// The record as the JSON value the edit and the tests compare: keys as the listing sends them.
Json::Value ToJson(const Record& record);

// What the listing adds to each record: the card's resource name, its row id and its md5.
struct RowKeys {
  std::string_view id;
  std::string_view resourceId;
  std::string_view etag;
};
// Appends the listing's JSON text of `record` with `keys` to `out`: the same bytes as the
// front's encoding of ToJson(record) with "id", "resource_id" and "etag" added.
void AppendListedJson(const Record& record, const RowKeys& keys, std::string* out);

// ReadRecord and ReadLeanRecord as values: Read then ToJson.
Json::Value ReadRecord(std::string_view text, FieldSources* sources = nullptr);
Json::Value ReadLeanRecord(std::string_view text);

// Whether a line carries its data inline (base64, or a data: URI) rather than a reference.
bool HoldsInlineData(const vcard::ContentLine& line);

// The groups of a CATEGORIES value (vCard text), split at unescaped commas; empty ones left out.
std::vector<std::string> CategoryValues(std::string_view value);

// The text of a new card with UID `uid` holding what the record `record` holds.
std::string NewCardText(const Json::Value& record, const std::string& uid);

// The stored card `stored` with only what the record `sent` changes against the record it reads
// as; every other byte stays. False when `sent` is no object.
bool MergeEdit(const std::string& stored, const Json::Value& sent, std::string& text);

// Whether a record shows `searchKey` in a name, organisation, title, e-mail or phone, case aside
// (by the process's global locale) and with vCard escapes undone.
bool Matches(const Record& record, const std::string& searchKey);

// The rules that the new card and the edit share. --------------------------------------------

// The first group "itemN" not in `used` (lower case), taken into it.
std::string FreshGroup(std::set<std::string>& used);

// The formatted name clients write from the components of N: prefix, given, additional, family
// and suffix, the empty ones left out; as plain text (the components' escapes undone).
std::string FormattedName(const std::vector<std::string>& components);
// The formatted name a new card is written with: family, given and additional name, always two
// spaces between them. Stored cards carry it, so the edit recognises it as made from N.
std::string NewCardFormattedName(const std::string& family, const std::string& given,
                                 const std::string& additional);

// The TYPE parameters of an entry: one per non-empty word of `types`, each on one line and spelled
// by the line layer (quoted when it must be). A new card spells the parameter "type", an edit
// "TYPE": both are stored as such in cards already. A word no parameter can hold is left out;
// callers refuse such a record first (UnwritableType).
inline constexpr char kNewCardType[] = ";type=";
inline constexpr char kEditType[] = ";TYPE=";
std::string TypeParameters(const Json::Value& types, const char* spelling);

// The first type word of the record's entries that TypeParameters cannot write, as
// "tel[0].type[1]"; "" when there is none.
std::string UnwritableType(const Json::Value& record);

// Whether an entry's data (already on one line) holds anything: an address whose written value
// has only empty components (";;;;;;", or spaces alone) is as empty as "".
bool HasData(const EntryKind& kind, const std::string& data);

// An address value as written: a structured value (it holds a ';') as it is, a one-line address
// (leading spaces dropped) as the street of a structured one.
std::string AddressValue(const std::string& data);

}  // namespace card

#endif  // WEBAPI_CARD_MODEL_H
