// Real-world cards (the shared sample folder) read two ways: by the system and by an independent
// parser, Debian's python3-vobject (tests/oracle/vcard_oracle.py). The listing, the import and the
// edit must agree with that reading property by property.
#include <json/reader.h>
#include <json/writer.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "db_handler.h"
#include "module_call.h"
#include "test_env.h"
#include "vcard_line.h"

using namespace testenv;

namespace {

// The sample files by full path.
std::vector<std::string> SamplePaths() {
  std::vector<std::string> paths;
  for (const std::string& name : SampleFiles()) paths.push_back(SampleFolder() + "/" + name);
  EXPECT_FALSE(paths.empty()) << "no sample files in " << SampleFolder();
  return paths;
}

// The oracle's reading of `path`: one object per card with "stored" and "props".
Json::Value Oracle(const std::string& path) {
  const std::string command =
      "/usr/bin/python3 " + SourceDir() + "/tests/oracle/vcard_oracle.py '" + path + "'";
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    EXPECT_EQ(0, pclose(pipe)) << command;
  }
  Json::Value cards;
  std::istringstream in(output);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &cards, nullptr)) << path;
  return cards;
}

// Line breaks in one form, so that a decoded break and its "\n" escape compare equal.
std::string Shown(const std::string& value) {
  std::string text = vcard::UnescapeText(value);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i] == '\r' ? '\n' : text[i];
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// What the record of a card must hold, by the oracle.
struct Expected {
  std::map<std::string, std::string> fields;                // "family_name", "org", "note", ...
  std::map<std::string, std::vector<Json::Value>> entries;  // "tel" -> the oracle's properties
  std::map<std::string, std::string> labels;                // group -> shown label
};

Expected ExpectedRecord(const Json::Value& props) {
  Expected expected;
  for (const char* field : {"family_name", "given_name", "additional_name", "org", "title", "note"})
    expected.fields[field] = "";
  std::map<std::string, bool> seen;
  const std::map<std::string, std::string> kinds = {
      {"TEL", "tel"}, {"EMAIL", "mail"}, {"ADR", "adr"}, {"URL", "url"}};
  for (const Json::Value& prop : props) {
    const std::string name = prop["name"].asString();
    const std::string value = prop["value"].asString();
    if (name == "X-ABLABEL" && !prop["group"].asString().empty()) {
      std::string label = value.substr(0, value.find('>'));
      if (label.find('<') != std::string::npos) label = label.substr(label.find('<') + 1);
      expected.labels[prop["group"].asString()] = label;
    }
    auto kind = kinds.find(name);
    if (kind != kinds.end()) {
      if (!value.empty()) expected.entries[kind->second].push_back(prop);
      continue;
    }
    if (seen[name]) continue;
    seen[name] = true;
    if (name == "N") {
      const std::vector<std::string_view> parts = vcard::SplitUnescaped(value, ';');
      const char* keys[] = {"family_name", "given_name", "additional_name"};
      for (std::size_t i = 0; i < 3 && i < parts.size(); ++i) expected.fields[keys[i]] = parts[i];
    } else if (name == "ORG") {
      std::string org = value;
      if (!org.empty() && org.back() == ';' && (org.size() < 2 || org[org.size() - 2] != '\\'))
        org.pop_back();
      expected.fields["org"] = org;
    } else if (name == "TITLE" || name == "NOTE" || name == "BDAY") {
      std::string key = name == "BDAY" ? "bday" : name == "NOTE" ? "note" : "title";
      expected.fields[key] = value;
    }
  }
  return expected;
}

// Every difference between a listed record and the oracle's reading of its card.
std::vector<std::string> Differences(const Json::Value& record, const Json::Value& props) {
  std::vector<std::string> differences;
  const Expected expected = ExpectedRecord(props);
  auto compare = [&differences](const std::string& what, const std::string& listed,
                                const std::string& oracle) {
    if (Shown(listed) != Shown(oracle))
      differences.push_back(what + ": listed [" + listed + "], oracle [" + oracle + "]");
  };
  for (const auto& [field, value] : expected.fields) {
    const Json::Value& listed = field == "org" || field == "title"   ? record["company"][field]
                                : field == "note" || field == "bday" ? record[field]
                                                                     : record["name"][field];
    compare(field, listed.asString(), value);
  }
  for (const char* kind : {"tel", "mail", "adr", "url"}) {
    const Json::Value& listed = record[kind];
    auto found = expected.entries.find(kind);
    const std::size_t want = found == expected.entries.end() ? 0 : found->second.size();
    if (listed.size() != want) {
      differences.push_back(std::string(kind) + ": " + std::to_string(listed.size()) +
                            " entries listed, the oracle reads " + std::to_string(want));
      continue;
    }
    for (std::size_t i = 0; i < want; ++i) {
      const Json::Value& entry = listed[static_cast<Json::ArrayIndex>(i)];
      const Json::Value& prop = found->second[i];
      const std::string what = std::string(kind) + "[" + std::to_string(i) + "]";
      compare(what + ".data", entry["data"].asString(), prop["value"].asString());
      std::string key = prop["group"].asString().empty()
                            ? prop["name"].asString()
                            : prop["group"].asString() + "." + prop["name"].asString();
      if (Upper(entry["key"].asString()) != Upper(key))
        differences.push_back(what + ".key: " + entry["key"].asString() + " vs " + key);
      std::multiset<std::string> types, oracleTypes;
      for (const Json::Value& type : entry["type"]) types.insert(type.asString());
      for (const Json::Value& type : prop["types"]) {
        // The oracle keeps a quoted type list as one text; the listing splits it.
        const std::string text = type.asString();
        for (std::string_view piece : vcard::ParameterValues(text))
          oracleTypes.insert(std::string(piece));
      }
      if (types != oracleTypes) differences.push_back(what + ".type differs");
      const std::string group = prop["group"].asString();
      if (!group.empty()) {
        auto label = expected.labels.find(group);
        const Json::Value want =
            label == expected.labels.end() ? Json::Value() : Json::Value(label->second);
        if (entry["cust_name"] != want) differences.push_back(what + ".cust_name differs");
      }
    }
  }
  return differences;
}

// A property as both readings can be compared: name with its group, parameters without those an
// import may drop once the value is converted, type words and the value as a person reads it.
std::string Comparable(const Json::Value& prop) {
  const std::string name = prop["name"].asString();
  static const std::set<std::string> kRaw = {"PHOTO", "LOGO", "SOUND", "KEY"};
  std::string value = prop["value"].asString();
  bool binary = kRaw.count(name) > 0;
  if (binary) {
    std::string data;
    for (char c : value) {
      if (c != ' ' && c != '\t') data += c;
    }
    value = data;
  } else {
    value = Shown(value);
  }
  std::multiset<std::string> types;
  for (const Json::Value& type : prop["types"]) {
    const std::string text = type.asString();
    for (std::string_view piece : vcard::SplitUnescaped(text, ','))
      if (!piece.empty()) types.insert(Upper(std::string(piece)));
  }
  std::string out = Upper(prop["group"].asString()) + "." + name + " [";
  for (const std::string& type : types) out += type + ",";
  out += "]";
  for (const std::string& key : prop["params"].getMemberNames()) {
    if (key == "ENCODING" || key == "CHARSET" || key == "TYPE") continue;
    out += ";" + key + "=";
    for (const Json::Value& v : prop["params"][key]) out += v.asString() + ",";
  }
  return out + ": " + value;
}

std::multiset<std::string> ComparableCard(const Json::Value& props) {
  std::multiset<std::string> all;
  for (const Json::Value& prop : props) {
    const std::string name = prop["name"].asString();
    if (name == "UID" || name == "VERSION" || name == "REV") continue;
    all.insert(Comparable(prop));
  }
  return all;
}

class CardFidelity : public StoreTest {
 protected:
  std::string HomeOf(const std::string& user) {
    DBHandler store;
    if (store.GetGUID(user).empty()) store.SetupUserBasicInfo(user);
    return Caldav::HomeOf(store.GetGUID(user));
  }

  // Stores `text` as the daemon would hold it, under resource name `name`.
  void StoreAsDaemon(const std::string& user, const std::string& name, const std::string& text) {
    Caldav::InsertCard(HomeOf(user), name, text, "uid-" + name, Md5Hex(text));
  }

  // The listed records of `user` by resource name.
  std::map<std::string, Json::Value> Listed(const std::string& user) {
    const ORVA::APIResponse response = RunContacts("list_cards", UserParams(user));
    EXPECT_TRUE(response.IsSuccess());
    std::map<std::string, Json::Value> records;
    for (const Json::Value& record : response.Data()["cards"])
      records[record["id"].asString()] = record;
    return records;
  }
};

TEST_F(CardFidelity, ListingShowsEveryValueTheIndependentReadingFinds) {
  int cards = 0;
  int right = 0;
  std::vector<std::string> report;
  for (const std::string& file : SamplePaths()) {
    const Json::Value oracle = Oracle(file);
    const std::string base = std::filesystem::path(file).filename();
    for (Json::ArrayIndex i = 0; i < oracle.size(); ++i) {
      StoreAsDaemon("reader", base + "-" + std::to_string(i), oracle[i]["stored"].asString());
    }
    std::map<std::string, Json::Value> listed = Listed("reader");
    for (Json::ArrayIndex i = 0; i < oracle.size(); ++i) {
      ++cards;
      const std::string name = base + "-" + std::to_string(i);
      std::vector<std::string> differences = Differences(listed[name], oracle[i]["props"]);
      if (differences.empty()) ++right;
      for (const std::string& difference : differences) report.push_back(name + " " + difference);
    }
  }
  std::string text;
  for (const std::string& line : report) text += line + "\n";
  EXPECT_EQ(cards, right) << text;
  std::printf("listing: %d of %d cards read as the independent parser reads them\n", right, cards);
}

TEST_F(CardFidelity, ImportStoresEveryPropertyOfEverySharedFile) {
  int cards = 0;
  int intact = 0;
  int properties = 0;
  int kept = 0;
  std::string report;
  for (const std::string& file : SamplePaths()) {
    Caldav::Exec("DELETE FROM addressbook_object");
    const Json::Value expected = Oracle(file);
    Json::Value params = UserParams("importer", "file", "contacts.vcf");
    params["file_tmp"] = file;
    const ORVA::APIResponse response = RunContacts("import_cards", params);
    EXPECT_TRUE(response.IsSuccess()) << file;
    std::string texts;
    for (const auto& row : Caldav::Query("SELECT vcard_text FROM addressbook_object ORDER BY "
                                         "resource_id"))
      texts += row[0];
    const std::string storedPath = root.Dir() + "/stored.vcf";
    WriteFile(storedPath, texts);
    const Json::Value stored = Oracle(storedPath);
    const std::string base = std::filesystem::path(file).filename();
    EXPECT_EQ(expected.size(), stored.size()) << base;
    for (Json::ArrayIndex i = 0; i < expected.size() && i < stored.size(); ++i) {
      ++cards;
      const std::multiset<std::string> want = ComparableCard(expected[i]["props"]);
      const std::multiset<std::string> got = ComparableCard(stored[i]["props"]);
      properties += static_cast<int>(want.size());
      // The oracle drops the lines that continue a vCard 2.1 value ending in a backslash; the
      // import keeps them as line breaks. Such a value counts as kept when the stored one goes on
      // where the oracle's stops.
      std::multiset<std::string> unmatched = got;
      int missing = 0;
      for (const std::string& prop : want) {
        auto exact = unmatched.find(prop);
        if (exact != unmatched.end()) {
          unmatched.erase(exact);
          continue;
        }
        const std::string stem = prop.substr(0, prop.size() - 1) + "\n";
        auto continued = unmatched.lower_bound(stem);
        if (prop.back() == '\\' && continued != unmatched.end() &&
            continued->compare(0, stem.size(), stem) == 0) {
          std::printf("exception: %s-%u kept a vCard 2.1 continuation the oracle drops: %s\n",
                      base.c_str(), i, continued->c_str());
          unmatched.erase(continued);
          continue;
        }
        ++missing;
        report += base + "-" + std::to_string(i) + " lost " + prop.substr(0, 200) + "\n";
      }
      for (const std::string& prop : unmatched)
        report += base + "-" + std::to_string(i) + " gained " + prop.substr(0, 200) + "\n";
      kept += static_cast<int>(want.size()) - missing;
      if (missing == 0 && unmatched.empty()) ++intact;
      // One UID, the fresh one, and a card the daemon reads: BEGIN first, one END last.
      int uids = 0;
      for (const Json::Value& prop : stored[i]["props"]) uids += prop["name"] == "UID";
      EXPECT_EQ(1, uids) << base;
    }
  }
  EXPECT_EQ(cards, intact) << report;
  std::printf("import: %d of %d cards intact, %d of %d properties\n", intact, cards, kept,
              properties);
}

// The record as the pages send one changed field back.
Json::Value Changed(Json::Value record, const std::string& field) {
  record["resource_name"] = record["id"];
  if (field == "tel" || field == "mail") {
    const char* value = field == "tel" ? "+1 555 0199" : "changed@example.org";
    if (record[field].empty()) {
      Json::Value entry(Json::objectValue);
      entry["data"] = value;
      record[field].append(entry);
    } else {
      record[field][0]["data"] = value;
    }
  } else if (field == "name") {
    record["name"]["given_name"] = "Changed";
  } else {
    record["note"] = "Changed note";
  }
  return record;
}

TEST_F(CardFidelity, AnEditChangesOnlyWhatThePersonChanged) {
  // The property names the independent reading may see change for each field.
  const std::map<std::string, std::set<std::string>> kChanges = {
      {"tel", {"TEL"}}, {"mail", {"EMAIL"}}, {"name", {"N", "FN"}}, {"note", {"NOTE"}}};
  int cards = 0;
  int unchangedIntact = 0;
  int edits = 0;
  int editsExact = 0;
  std::string report;
  for (const std::string& file : SamplePaths()) {
    Caldav::Exec("DELETE FROM addressbook_object");
    const Json::Value oracle = Oracle(file);
    const std::string base = std::filesystem::path(file).filename();
    std::vector<std::string> names;
    for (Json::ArrayIndex i = 0; i < oracle.size(); ++i) {
      for (const char* copy : {"same", "tel", "mail", "name", "note", "stale"}) {
        const std::string name = base + "-" + std::to_string(i) + "-" + copy;
        StoreAsDaemon("editor", name, oracle[i]["stored"].asString());
        names.push_back(name);
      }
    }
    std::map<std::string, Json::Value> listed = Listed("editor");
    std::string before, after;
    for (const std::string& name : names) {
      const std::string field = name.substr(name.rfind('-') + 1);
      const std::string text = Caldav::Value(
          "SELECT vcard_text FROM addressbook_object WHERE resource_name=" + Caldav::Quote(name));
      Json::Value record = listed[name];
      record["resource_name"] = record["id"];
      if (field == "stale") record["etag"] = std::string(32, '0');
      if (field != "same" && field != "stale") record = Changed(record, field);
      const ORVA::APIResponse response =
          RunContacts("edit_card", UserParams("editor", "card", record));
      const std::string stored = Caldav::Value(
          "SELECT vcard_text FROM addressbook_object WHERE resource_name=" + Caldav::Quote(name));
      if (field == "stale") {
        EXPECT_EQ(1013, response.ErrorCode()) << name;
        EXPECT_EQ(text, stored) << name << ": a refused edit wrote";
        continue;
      }
      EXPECT_TRUE(response.IsSuccess()) << name;
      if (field == "same") {
        ++cards;
        if (text == stored) ++unchangedIntact;
        EXPECT_EQ(text, stored) << name << ": an unchanged edit changed the card";
        continue;
      }
      before += text;
      after += stored;
    }
    // One reading of all the cards before and after their one-field edits.
    WriteFile(root.Dir() + "/before.vcf", before);
    WriteFile(root.Dir() + "/after.vcf", after);
    const Json::Value was = Oracle(root.Dir() + "/before.vcf");
    const Json::Value now = Oracle(root.Dir() + "/after.vcf");
    ASSERT_EQ(was.size(), now.size()) << base;
    for (Json::ArrayIndex i = 0; i < was.size(); ++i) {
      const std::string field = std::vector<std::string>{"tel", "mail", "name", "note"}[i % 4];
      const std::multiset<std::string> a = ComparableCard(was[i]["props"]);
      const std::multiset<std::string> b = ComparableCard(now[i]["props"]);
      bool exact = a != b;  // the field did change
      for (const auto* side : {&a, &b}) {
        const auto* other = side == &a ? &b : &a;
        for (const std::string& prop : *side) {
          if (other->count(prop) >= side->count(prop)) continue;
          const std::string name =
              prop.substr(prop.find('.') + 1, prop.find(' ') - prop.find('.') - 1);
          if (kChanges.at(field).count(name)) continue;
          exact = false;
          report += base + " card " + std::to_string(i / 4) + " edit of " + field + " changed " +
                    prop.substr(0, 120) + "\n";
        }
      }
      ++edits;
      if (exact) ++editsExact;
    }
  }
  EXPECT_EQ(edits, editsExact) << report;
  std::printf(
      "edit: %d of %d cards kept byte for byte by an unchanged edit; %d of %d one-field "
      "edits changed only that field\n",
      unchangedIntact, cards, editsExact, edits);
}

}  // namespace
