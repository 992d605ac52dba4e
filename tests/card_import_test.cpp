// Importing .vcf uploads through the module's table: the stored form of each card, the line rules,
// real-world files of phones, desktop address books and webmail, long lines and oversized cards,
// the parameter checks, and a round trip through the download.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "db_handler.h"
#include "lumidex_paths.h"
#include "module_call.h"
#include "test_env.h"
#include "users.h"
#include "vcard_line.h"

using namespace testenv;

namespace {

struct StoredCard {
  std::string text;
  std::string uid;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string Lf(const std::string& crlf) { return Replace(crlf, "\r\n", "\n"); }
std::string Crlf(const std::string& lf) { return Replace(Lf(lf), "\n", "\r\n"); }

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The lines between `from` (excluded) and `to` joined into one, each without its line end and its
// leading blanks: a folded block (a photo) as the import must store it.
std::string Unfolded(const std::string& text, const std::string& from, const std::string& to) {
  const size_t begin = text.find(from);
  const size_t end = text.find(to, begin);
  if (begin == std::string::npos || end == std::string::npos) return "<missing " + from + ">";
  std::string joined;
  bool lineStart = false;
  for (char c : text.substr(begin + from.size(), end - begin - from.size())) {
    if (c == '\r') continue;
    if (c == '\n') {
      lineStart = true;
      continue;
    }
    if (lineStart && c == ' ') continue;
    lineStart = false;
    joined += c;
  }
  return joined;
}

class CardImport : public TwoUsersTest {
 protected:
  static Json::Value Params(const std::string& user, const std::string& path) {
    Json::Value params(Json::objectValue);
    params["user"] = user;
    params["file_tmp"] = path;
    params["file"] = "contacts.vcf";
    return params;
  }

  // Runs the import and checks it replied exactly once.
  ORVA::APIResponse Import(const Json::Value& params) {
    ORVA::APIResponse response;
    CallContacts("import_cards", params, response);
    EXPECT_EQ(1, response.Calls());
    return response;
  }

  // Uploads `bytes` for `user` and expects the reply success (null data) or error 1011.
  void Upload(const std::string& bytes, bool expectSuccess = true,
              const std::string& user = "ada") {
    const std::string path = root.Path("/upload.vcf");
    WriteFile(path, bytes);
    ORVA::APIResponse response = Import(Params(user, path));
    if (expectSuccess) {
      EXPECT_TRUE(response.IsSuccess()) << response.ToJson().toStyledString();
      EXPECT_TRUE(response.Data().isNull());
    } else {
      EXPECT_FALSE(response.IsSuccess());
      EXPECT_EQ(1011, response.ErrorCode());
      EXPECT_EQ(Json::Value("Fail to set card"), response.Data());
    }
  }

  // The cards of `guid` in the order they were stored.
  static std::vector<StoredCard> Cards(const std::string& guid) {
    std::vector<StoredCard> cards;
    for (const Row& row : Caldav::Query(
             "SELECT o.vcard_text, o.vcard_uid FROM addressbook_object o JOIN addressbook_home h "
             "ON o.addressbook_home_resource_id = h.resource_id WHERE h.owner_uid = " +
             Caldav::Quote(guid) + " ORDER BY o.resource_id")) {
      cards.push_back({row[0], row[1]});
    }
    return cards;
  }

  // The stored texts with each card's own UID line replaced by "UID:@", after checking that the
  // card carries the UID it was stored under.
  static std::vector<std::string> Texts(const std::string& guid) {
    std::vector<std::string> texts;
    for (const StoredCard& card : Cards(guid)) {
      EXPECT_EQ(36u, card.uid.size()) << card.uid;
      const std::string line = "\r\nUID:" + card.uid + "\r\nEND:VCARD\r\n";
      EXPECT_EQ(1u, Occurrences(card.text, line)) << card.text.substr(0, 2000);
      texts.push_back(Replace(card.text, line, "\r\nUID:@\r\nEND:VCARD\r\n"));
    }
    return texts;
  }

  // Downloads all of ada's cards, imports the download for bob, and expects bob's cards to be
  // ada's `before` texts (UIDs aside).
  void ExpectRoundTripKeeps(std::vector<std::string> before) {
    Json::Value params(Json::objectValue);
    params["user"] = "ada";
    ORVA::APIResponse exportResponse;
    const std::string reply = CallContactsCapturingStdout("export_all_cards", params,
                                                          root.Path("/download"), exportResponse);
    const std::string separator = "\n\n";
    const size_t bodyAt = reply.find(separator);
    ASSERT_NE(std::string::npos, bodyAt);
    Upload(reply.substr(bodyAt + separator.size()), true, "bob");
    std::vector<std::string> after = Texts(bobGuid);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after);
  }
};

// The stored form of a card whose kept lines are `lines` (each with its CRLF).
std::string StoredForm(const std::string& lines) {
  return "BEGIN:VCARD\r\n" + lines + "VERSION:3.0\r\nUID:@\r\nEND:VCARD\r\n";
}

// --- The line rules ----------------------------------------------------------------------------

TEST_F(CardImport, SixLineCardIsStoredAsFiveLines) {
  Upload("BEGIN:VCARD\nVERSION:2.1\nFN:A\nUID:x\nREV:y\nEND:VCARD\n");
  const std::vector<StoredCard> cards = Cards(adaGuid);
  ASSERT_EQ(1u, cards.size());
  EXPECT_EQ("BEGIN:VCARD\r\nFN:A\r\nVERSION:3.0\r\nUID:" + cards[0].uid + "\r\nEND:VCARD\r\n",
            cards[0].text);
  EXPECT_EQ(36u, cards[0].uid.size());
  EXPECT_EQ("", ErrorLogText());
}

TEST_F(CardImport, FoldsAreJoinedByTheLineLayerAndBlankLinesEndNothing) {
  Upload(
      "BEGIN:VCARD\n"
      "NOTE:1715\n"
      "  EST\n"
      "ADR:;;Long street name th\n"
      " at was folded\n"
      "X-TAB:one\n"
      "\ttwo\n"
      "URL:http\n"
      " ://example.com/a\n"
      "\n"
      "ORG:After an empty line\n"
      "NOTE;ENCODING=QUOTED-PRINTABLE:42 Plantation St.=0D=0A=\n"
      "Baytown\n"
      "END:VCARD\n");
  // A continuation holding a colon is part of its value; one space after the break is the fold.
  EXPECT_EQ(std::vector<std::string>{StoredForm("NOTE:1715 EST\r\n"
                                                "ADR:;;Long street name that was folded\r\n"
                                                "X-TAB:onetwo\r\n"
                                                "URL:http://example.com/a\r\n"
                                                "ORG:After an empty line\r\n"
                                                "NOTE:42 Plantation St.\\nBaytown\r\n")},
            Texts(adaGuid));
}

TEST_F(CardImport, LinesThatAreNoPropertiesAreDropped) {
  Upload("BEGIN:VCARD\n  stray words\n# a comment\nFN:B\nEND:VCARD\n");
  EXPECT_EQ(std::vector<std::string>{StoredForm("FN:B\r\n")}, Texts(adaGuid));
}

TEST_F(CardImport, UidVersionAndRevAreDroppedInAnyCaseOrGroup) {
  Upload(
      "BEGIN:VCARD\r\n"
      "VERSION:4.0\r\n"
      "uid:lower\r\n"
      "item1.UID:grouped\r\n"
      "Version:mixed\r\n"
      "REV:2024\r\n"
      "REVIEW:kept\r\n"
      "FN:C\r\n"
      "UID:dropped\r\n"
      "END:VCARD\r\n");
  EXPECT_EQ(std::vector<std::string>{StoredForm("REVIEW:kept\r\nFN:C\r\n")}, Texts(adaGuid));
}

TEST_F(CardImport, TextOutsideCardsLeavesNoTraceAndBeginIsReadInAnyCase) {
  Upload(
      "Exported 2024-05-01: 2 contacts\n"
      "FN:not in a card\n"
      "BEGIN:VCARD\nFN:One\nEND:VCARD\n"
      "END:VCARD\n"
      "between: cards\n"
      "begin:vCard\nFN:Lower-case begin\nend:vcard\n"
      "BEGIN:VCARD\nFN:Two\nEND:VCARD\n"
      "trailing\n");
  EXPECT_EQ(
      (std::vector<std::string>{StoredForm("FN:One\r\n"), StoredForm("FN:Lower-case begin\r\n"),
                                StoredForm("FN:Two\r\n")}),
      Texts(adaGuid));
}

TEST_F(CardImport, ANestedCardIsACardOfItsOwn) {
  Upload("BEGIN:VCARD\nFN:Outer\nAGENT:\nBEGIN:VCARD\nFN:Inner\nEND:VCARD\nTEL:1\nEND:VCARD\n");
  EXPECT_EQ((std::vector<std::string>{StoredForm("FN:Inner\r\n"),
                                      StoredForm("FN:Outer\r\nAGENT:\r\nTEL:1\r\n")}),
            Texts(adaGuid));
}

TEST_F(CardImport, ACardStillOpenAtTheEndIsStored) {
  Upload("BEGIN:VCARD\nFN:Kept\nEND:VCARD\nBEGIN:VCARD\nFN:Cut off\n");
  EXPECT_EQ((std::vector<std::string>{StoredForm("FN:Kept\r\n"), StoredForm("FN:Cut off\r\n")}),
            Texts(adaGuid));
}

TEST_F(CardImport, LastLineWithoutLineFeedStillEndsTheCard) {
  Upload("BEGIN:VCARD\r\nFN:No final line end\r\nEND:VCARD");
  EXPECT_EQ(std::vector<std::string>{StoredForm("FN:No final line end\r\n")}, Texts(adaGuid));
}

TEST_F(CardImport, EveryImportStoresNewCardsWithNewUids) {
  const std::string file = "BEGIN:VCARD\nFN:Same\nEND:VCARD\nBEGIN:VCARD\nFN:Same\nEND:VCARD\n";
  Upload(file);
  Upload(file);
  const std::vector<StoredCard> cards = Cards(adaGuid);
  ASSERT_EQ(4u, cards.size());
  std::vector<std::string> uids;
  for (const StoredCard& card : cards) uids.push_back(card.uid);
  std::sort(uids.begin(), uids.end());
  EXPECT_EQ(uids.end(), std::unique(uids.begin(), uids.end()));
  EXPECT_EQ(std::vector<std::string>(4, StoredForm("FN:Same\r\n")), Texts(adaGuid));
  EXPECT_TRUE(Cards(bobGuid).empty());
}

TEST_F(CardImport, LegacyCharacterSetsBecomeUtf8) {
  // windows-1252 without any CHARSET (as old Outlook writes), a line's own CHARSET, and a UTF-16
  // file with its byte-order mark.
  Upload(
      "BEGIN:VCARD\r\nFN:Fran\xE7ois M\xFCller \x80\r\nNOTE;CHARSET=ISO-8859-7:\xE1\xE2\r\n"
      "END:VCARD\r\n");
  EXPECT_EQ(std::vector<std::string>{StoredForm("FN:Fran\xC3\xA7ois M\xC3\xBCller \xE2\x82\xAC\r\n"
                                                "NOTE:\xCE\xB1\xCE\xB2\r\n")},
            Texts(adaGuid));
  Caldav::Exec("DELETE FROM addressbook_object");
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("BEGIN:VCARD\r\nFN:Wide\r\nEND:VCARD\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  Upload(utf16);
  EXPECT_EQ(std::vector<std::string>{StoredForm("FN:Wide\r\n")}, Texts(adaGuid));
}

TEST_F(CardImport, ALineThatNamesItsCharsetIsReadInItAloneWhateverItsStrayBytes) {
  // An Android export's long UTF-8 value that ends in a lone continuation byte after its last
  // soft break: that byte alone becomes U+FFFD, the 44 letters before it stay letters.
  Upload(DataFile("android-v21-qp-stray-byte.vcf"));
  std::string letters;
  for (int i = 0; i < 44; ++i) letters += "\xC3\x91";
  const std::vector<std::string> texts = Texts(adaGuid);
  ASSERT_EQ(1u, texts.size());
  EXPECT_NE(std::string::npos, texts[0].find("\r\nORG:" + letters + "\xEF\xBF\xBD\r\n"))
      << texts[0];
  EXPECT_NE(std::string::npos, texts[0].find("\r\nTITLE:\xC3\x91\xC3\x91\xC3\x91\r\n"));
  Json::Value params(Json::objectValue);
  params["user"] = "ada";
  ORVA::APIResponse listing;
  CallContacts("list_cards", params, listing);
  ASSERT_EQ(1u, listing.Data()["cards"].size()) << listing.ToJson().toStyledString();
  EXPECT_EQ(letters + "\xEF\xBF\xBD", listing.Data()["cards"][0]["company"]["org"].asString());

  // Any other named set by the same rule: 0xFF is no character of ISO-8859-7.
  Caldav::Exec("DELETE FROM addressbook_object");
  Upload("BEGIN:VCARD\r\nVERSION:2.1\r\nNOTE;CHARSET=ISO-8859-7:\xE1\xFF\xE2\r\nEND:VCARD\r\n");
  EXPECT_EQ(std::vector<std::string>{StoredForm("NOTE:\xCE\xB1\xEF\xBF\xBD\xCE\xB2\r\n")},
            Texts(adaGuid));
}

TEST_F(CardImport, Version21BackslashContinuationsKeepEveryByteOfEveryKindOfValue) {
  // Each value continued at every place that is no fold and starts no property: text takes a line
  // break, base64 none, and a URL or a date in windows-1252 keeps its last byte before the
  // backslash.
  const struct {
    const char* head;
    std::string value;
    bool text;
    bool base64;
  } kValues[] = {
      {"NOTE", "Call; back, then", true, false},
      {"URL", "http://example.com/abcd", false, false},
      {"BDAY;CHARSET=WINDOWS-1252", "\xC9t\xE9 1990", false, false},
      {"PHOTO;ENCODING=BASE64;TYPE=JPEG", "QUJDREVG", false, true},
  };
  std::string file;
  std::vector<std::string> expected;
  for (const auto& value : kValues) {
    std::string utf8;
    ASSERT_TRUE(vcard::ConvertToUtf8(value.value, "WINDOWS-1252", utf8));
    for (std::size_t at = 1; at < value.value.size(); ++at) {
      // A line that starts with white space is a fold, and one that reads as a property is one.
      const std::string rest = value.value.substr(at);
      vcard::ContentLine line;
      if (rest[0] == ' ' || vcard::SplitLine(rest, line)) continue;
      file += "BEGIN:VCARD\r\nVERSION:2.1\r\n" + std::string(value.head) + ":" +
              value.value.substr(0, at) + "\\\r\n" + value.value.substr(at) + "\r\nEND:VCARD\r\n";
      std::string joined;
      if (value.base64) {
        joined = "PHOTO;ENCODING=b;TYPE=JPEG:" + value.value;
      } else {
        // The value in UTF-8, its 2.1 text escaped as the import escapes it.
        std::string before, after;
        ASSERT_TRUE(vcard::ConvertToUtf8(value.value.substr(0, at), "WINDOWS-1252", before));
        ASSERT_TRUE(vcard::ConvertToUtf8(value.value.substr(at), "WINDOWS-1252", after));
        if (value.text) {
          before = Replace(Replace(before, ",", "\\,"), ";", "\\;");
          after = Replace(Replace(after, ",", "\\,"), ";", "\\;");
        }
        const std::string name = value.text ? "NOTE" : (value.head[0] == 'U' ? "URL" : "BDAY");
        joined = name + ":" + before + "\\n" + after;
      }
      expected.push_back(StoredForm(joined + "\r\n"));
    }
  }
  Upload(file);
  EXPECT_EQ(expected, Texts(adaGuid));
}

TEST_F(CardImport, OneUuidIsTakenPerBeginEvenForDiscardedCards) {
  const std::string calls = root.Path("/helper-calls");
  root.InstallHelper(WriteScript(
      root.Path("/counting-helper.sh"),
      "echo \"$1\" >> '" + calls + "'\nexec '" + BuildDir() + "/package/orva_db_helper' \"$@\"\n"));
  // Two cards begin, one inside the other, and neither ends: both are stored, the inner first.
  Upload("BEGIN:VCARD\nFN:A\nBEGIN:VCARD\nFN:B\n");
  const std::string helperCalls = ReadFile(calls);
  EXPECT_EQ(0u, helperCalls.find("--getUUID\n--getUUID\n"));
  EXPECT_EQ((std::vector<std::string>{StoredForm("FN:B\r\n"), StoredForm("FN:A\r\n")}),
            Texts(adaGuid));
}

// --- Line ends and long lines --------------------------------------------------------------------

TEST_F(CardImport, LfAndCrlfFilesStoreIdenticalTexts) {
  for (const char* name : {"phone-v21-qp-crlf.vcf", "desktop-v30-groups-photo.vcf",
                           "webmail-v30-lf-cut.vcf", "desktop-v40-photo-uri.vcf"}) {
    SCOPED_TRACE(name);
    Caldav::Exec("DELETE FROM addressbook_object");
    const std::string original = DataFile(name);
    ASSERT_FALSE(original.empty());
    Upload(Lf(original));
    const std::vector<std::string> fromLf = Texts(adaGuid);
    Caldav::Exec("DELETE FROM addressbook_object");
    Upload(Crlf(original));
    EXPECT_EQ(fromLf, Texts(adaGuid));
    EXPECT_FALSE(fromLf.empty());
  }
}

TEST_F(CardImport, LongLinesAreReadWhole) {
  // 1023 bytes before the line feed, the carriage return counted; then a 300 KB photo line; the
  // cards after them must be stored too.
  const std::string note = "NOTE:" + std::string(1023 - 6, 'n');
  const std::string photo = "PHOTO;ENCODING=b;TYPE=JPEG:" + std::string(300 * 1024, 'Q');
  const std::string longer = "NOTE:" + std::string(1024 - 5, 'm');
  ASSERT_EQ(1022u, note.size());
  Upload("BEGIN:VCARD\r\n" + note + "\r\nEND:VCARD\r\n" +           //
         "BEGIN:VCARD\r\n" + longer + "\r\nEND:VCARD\r\n" +         //
         "BEGIN:VCARD\r\n" + photo + "\r\nFN:P\r\nEND:VCARD\r\n" +  //
         "BEGIN:VCARD\r\nFN:After\r\nEND:VCARD\r\n");
  EXPECT_EQ(
      (std::vector<std::string>{StoredForm(note + "\r\n"), StoredForm(longer + "\r\n"),
                                StoredForm(photo + "\r\nFN:P\r\n"), StoredForm("FN:After\r\n")}),
      Texts(adaGuid));
}

TEST_F(CardImport, CardOverTheSizeLimitIsSkippedAndLogged) {
  // One card grows over 16 MiB through many lines, another through one endless line; the cards
  // around them are stored and the import succeeds.
  std::string manyLines;
  const std::string chunk = " " + std::string(1000, 'x') + "\r\n";
  manyLines.reserve(17 * 1024 * chunk.size() + 64);
  manyLines += "BEGIN:VCARD\r\nPHOTO:";
  for (int i = 0; i < 17 * 1024; ++i) manyLines += chunk;
  manyLines += "FN:Too big\r\nEND:VCARD\r\n";
  const std::string oneLine =
      "BEGIN:VCARD\r\nNOTE:" + std::string((16u << 20) + 10, 'y') + "\r\nEND:VCARD\r\n";
  Upload("BEGIN:VCARD\r\nFN:First\r\nEND:VCARD\r\n" + manyLines +
         "BEGIN:VCARD\r\nFN:Second\r\nEND:VCARD\r\n" + oneLine +
         "BEGIN:VCARD\r\nFN:Third\r\nEND:VCARD\r\n");
  EXPECT_EQ((std::vector<std::string>{StoredForm("FN:First\r\n"), StoredForm("FN:Second\r\n"),
                                      StoredForm("FN:Third\r\n")}),
            Texts(adaGuid));
  const std::string log = ErrorLogText();
  EXPECT_EQ(2u, Occurrences(log, "larger than 16 MiB")) << log;
  EXPECT_EQ(1u, Occurrences(log, "Fail to set card 2 of the file (UID ")) << log;
  EXPECT_EQ(1u, Occurrences(log, "Fail to set card 4 of the file (UID ")) << log;

  // A card just under the limit is stored whole.
  Caldav::Exec("DELETE FROM addressbook_object");
  const std::string big = "NOTE:" + std::string((16u << 20) - 200, 'z');
  Upload("BEGIN:VCARD\r\n" + big + "\r\nEND:VCARD\r\n");
  EXPECT_EQ(std::vector<std::string>{StoredForm(big + "\r\n")}, Texts(adaGuid));

  // An oversized card alone stores nothing.
  Caldav::Exec("DELETE FROM addressbook_object");
  Upload(oneLine, false);
  EXPECT_TRUE(Cards(adaGuid).empty());
}

// --- Parameters, users and the store's answers ---------------------------------------------------

TEST_F(CardImport, MissingParametersAreRefusedIn900) {
  const std::string path = root.Path("/upload.vcf");
  WriteFile(path, "BEGIN:VCARD\nFN:A\nEND:VCARD\n");
  for (const char* missing : {"user", "file_tmp", "file"}) {
    Json::Value params = Params("ada", path);
    params.removeMember(missing);
    ORVA::APIResponse response = Import(params);
    EXPECT_EQ(900, response.ErrorCode()) << missing;
    EXPECT_EQ(Json::Value("Request lost parameters"), response.Data());
  }
  // Only one log line even when all three are missing: the check stops at the first.
  Import(Json::Value(Json::objectValue));
  EXPECT_EQ(4u, Occurrences(ErrorLogText(), " Request lost parameters\n"));
  EXPECT_TRUE(Cards(adaGuid).empty());
}

TEST_F(CardImport, MistypedParametersAreRefusedWithoutAnException) {
  const std::string path = root.Path("/upload.vcf");
  WriteFile(path, "BEGIN:VCARD\nFN:A\nEND:VCARD\n");
  for (const char* name : {"user", "file_tmp"}) {
    for (const Json::Value& wrong :
         {Json::Value(Json::arrayValue), Json::Value(Json::objectValue)}) {
      Json::Value params = Params("ada", path);
      params[name] = wrong;
      ORVA::APIResponse response = Import(params);
      EXPECT_EQ(900, response.ErrorCode()) << name;
    }
  }
  EXPECT_EQ(4u, Occurrences(ErrorLogText(), " Request lost parameters\n"));
  EXPECT_TRUE(Cards(adaGuid).empty());
}

TEST_F(CardImport, NumericUserNameReadsAsItsDigits) {
  // The front decodes user=1000 as a number.
  DBHandler store;
  ASSERT_TRUE(store.SetupUserBasicInfo("1000"));
  const std::string path = root.Path("/upload.vcf");
  WriteFile(path, "BEGIN:VCARD\nFN:A\nEND:VCARD\n");
  Json::Value params = Params("", path);
  params["user"] = 1000;
  EXPECT_TRUE(Import(params).IsSuccess());
  EXPECT_EQ(1u, Cards(store.GetGUID("1000")).size());
}

TEST_F(CardImport, UnknownUserIsProvisionedAndTheFileStored) {
  const std::string path = root.Path("/upload.vcf");
  WriteFile(path, "BEGIN:VCARD\nFN:A\nEND:VCARD\nBEGIN:VCARD\nFN:B\nEND:VCARD\n");
  ORVA::APIResponse response = Import(Params("newcomer", path));
  EXPECT_TRUE(response.IsSuccess()) << response.ToJson().toStyledString();
  DBHandler store;
  EXPECT_EQ(2u, Cards(store.GetGUID("newcomer")).size());

  // A name that cannot become a user stores nothing, and says so.
  response = Import(Params("line\nbreak", path));
  EXPECT_EQ(1011, response.ErrorCode());
  EXPECT_EQ("2", Caldav::Value("SELECT count(*) FROM addressbook_object"));
}

TEST_F(CardImport, NothingToStoreGives1011WithoutALogLine) {
  Upload("", false);
  Upload("no cards here\n", false);
  Upload("END:VCARD\nFN:no card begins\n", false);
  ORVA::APIResponse response = Import(Params("ada", root.Path("/no-such-file.vcf")));
  EXPECT_EQ(1011, response.ErrorCode());
  response = Import(Params("ada", root.Dir()));  // a folder reads as nothing
  EXPECT_EQ(1011, response.ErrorCode());
  EXPECT_EQ("", ErrorLogText());
}

TEST_F(CardImport, RefusedCardsAreLoggedAndTheOthersStored) {
  // The store refuses a card holding a NUL byte (the database would cut it there).
  Upload(
      std::string("BEGIN:VCARD\nFN:Good one\nEND:VCARD\n"
                  "BEGIN:VCARD\nFN:Nul\0byte\nEND:VCARD\n"
                  "BEGIN:VCARD\nFN:Good two\nEND:VCARD\n",
                  sizeof "BEGIN:VCARD\nFN:Good one\nEND:VCARD\n"
                         "BEGIN:VCARD\nFN:Nul\0byte\nEND:VCARD\n"
                         "BEGIN:VCARD\nFN:Good two\nEND:VCARD\n" -
                      1));
  EXPECT_EQ(
      (std::vector<std::string>{StoredForm("FN:Good one\r\n"), StoredForm("FN:Good two\r\n")}),
      Texts(adaGuid));
  const std::string log = ErrorLogText();
  EXPECT_EQ(1u, Occurrences(log, " webapi-ContactAndCalendar:line ")) << log;
  EXPECT_EQ(1u, Occurrences(log, "Fail to set card 2 of the file (UID ")) << log;
  EXPECT_EQ(1u, Occurrences(log, "the store refused it")) << log;
  Upload(std::string("BEGIN:VCARD\nFN:\0\nEND:VCARD\n", 26), false);
  EXPECT_EQ(2u, Occurrences(ErrorLogText(), "the store refused it"));
}

TEST_F(CardImport, VersionTwoReportsWhatWasStoredAndWhatWasRefused) {
  ORVA::APIHandler reporting = nullptr;
  for (const ORVA::APITableRow* row = GetAPITable(); row->api; ++row) {
    if (std::string(row->method) == "import_cards" && row->version == 2) reporting = row->handler;
  }
  ASSERT_NE(nullptr, reporting);
  auto importReporting = [&](const std::string& bytes) {
    WriteFile(root.Path("/upload.vcf"), bytes);
    ORVA::APIRequest request(Params("ada", root.Path("/upload.vcf")));
    ORVA::APIResponse response;
    reporting(&request, &response);
    EXPECT_EQ(1, response.Calls());
    return response;
  };
  const std::string nul("BEGIN:VCARD\nFN:Nul\0byte\nEND:VCARD\n", 34);
  ORVA::APIResponse response =
      importReporting("BEGIN:VCARD\nFN:One\nEND:VCARD\n" + nul + "BEGIN:VCARD\nFN:Two\n");
  ASSERT_TRUE(response.IsSuccess());
  const Json::Value& data = response.Data();
  EXPECT_EQ(2, data["stored"].asInt());
  ASSERT_EQ(1u, data["refused"].size());
  EXPECT_EQ(2, data["refused"][0]["card"].asInt());
  EXPECT_EQ(36u, data["refused"][0]["uid"].asString().size());
  EXPECT_EQ("could not be stored", data["refused"][0]["reason"].asString());
  // Every card refused: still a report, so the person learns why.
  response = importReporting(nul);
  ASSERT_TRUE(response.IsSuccess());
  EXPECT_EQ(0, response.Data()["stored"].asInt());
  EXPECT_EQ(1u, response.Data()["refused"].size());
  // No card at all: the same refusal as version 1.
  response = importReporting("no cards here\n");
  EXPECT_EQ(1011, response.ErrorCode());
}

TEST_F(CardImport, UploadedFileIsOnlyRead) {
  const std::string path = root.Path("/upload.vcf");
  const std::string bytes = DataFile("webmail-v30-lf-cut.vcf");
  WriteFile(path, bytes);
  chmod(path.c_str(), 0400);
  ORVA::APIResponse response = Import(Params("ada", path));
  EXPECT_TRUE(response.IsSuccess());
  EXPECT_EQ(bytes, ReadFile(path));
  struct stat info;
  ASSERT_EQ(0, stat(path.c_str(), &info));
  EXPECT_EQ(0400u, info.st_mode & 0777);
}

// --- Files as phones, desktop address books and webmail write them ------------------------------

TEST_F(CardImport, PhoneVcard21WithQuotedPrintableAndPhoto) {
  const std::string file = DataFile("phone-v21-qp-crlf.vcf");
  Upload(file);
  const std::string photo = Unfolded(file, "PHOTO;ENCODING=BASE64;JPEG:", "\r\n\r\n");
  ASSERT_GT(photo.size(), 4000u);
  EXPECT_EQ(
      (std::vector<std::string>{
          // Quoted-printable decoded into vCard 3.0 text, bare type words written as TYPE=.
          StoredForm(
              "N:M\xC3\xBCller;J\xC3\xB6rg;;;\r\n"
              "FN:J\xC3\xB6rg M\xC3\xBCller\r\n"
              "TEL;TYPE=CELL;TYPE=PREF:+49 170 1234567\r\n"
              "TEL;TYPE=HOME:+49 30 1234567\r\n"
              "EMAIL;TYPE=HOME:joerg.mueller@example.de\r\n"
              "ADR;TYPE=HOME:;;Hauptstra\xC3\x9F"
              "e 5;Berlin;;10115;Deutschland\r\n"
              "NOTE:Met at the trade fair\\, stand 12\\nBrought the samples and the price "
              "list\\nWants a call back in May\r\n"
              "PHOTO;ENCODING=b;TYPE=JPEG:" +
              photo +
              "\r\n"
              "X-ANDROID-CUSTOM:vnd.android.cursor.item/nickname\\;J=C3=B6rgi\\;1\\;\\;\\;\\;\\;"
              "\\;\\;\\;\\;\\;\\;\\;\\;\r\n"),
          StoredForm("N:Okafor;Ngozi;;;\r\n"
                     "FN:Ngozi Okafor\r\n"
                     "TEL;TYPE=WORK:+234 1 555 0142\r\n"
                     "TEL;TYPE=X-Pager:0800 555 0199\r\n"
                     "ORG:Lagos Port Authority\r\n"
                     "BDAY:1984-11-02\r\n")}),
      Texts(adaGuid));
}

TEST_F(CardImport, DesktopVcard30WithGroupsAndFoldedPhoto) {
  const std::string file = DataFile("desktop-v30-groups-photo.vcf");
  Upload(file);
  const std::string photo = Unfolded(file, "PHOTO;ENCODING=b;TYPE=JPEG:", "\r\nX-ABShowAs");
  ASSERT_GT(photo.size(), 40000u);
  EXPECT_EQ(std::vector<std::string>{StoredForm(
                "PRODID:-//Desktop Address Book//Contacts 14.0//EN\r\n"
                "N:Tanaka;Hiroshi;;;\r\n"
                "FN:Tanaka Hiroshi\r\n"
                "ORG:Kaisha Ltd.;Research\r\n"
                "item1.EMAIL;type=INTERNET;type=pref:hiroshi@example.jp\r\n"
                "item1.X-ABLabel:_$!<Work>!$_\r\n"
                "item2.TEL:+81 3-5555-0101\r\n"
                "item2.X-ABLabel:Shinkansen desk\r\n"
                "item3.ADR;type=HOME;type=pref:;;1-2-3 Chiyoda;Tokyo;;100-0001;Japan\r\n"
                "item3.X-ABADR:jp\r\n"
                "item4.URL;type=pref:https://example.jp/~hiroshi\r\n"
                "item4.X-ABLabel:_$!<HomePage>!$_\r\n"
                "NOTE:Prefers e-mail. Long note that the address book folded because it is wider "
                "than seventy-five bytes; the fold must vanish.\r\n"
                "PHOTO;ENCODING=b;TYPE=JPEG:" +
                photo +
                "\r\n"
                "X-ABShowAs:COMPANY\r\n")},
            Texts(adaGuid));
}

TEST_F(CardImport, WebmailLfFileWithHeaderRemarksAndACutOffCard) {
  Upload(DataFile("webmail-v30-lf-cut.vcf"));
  EXPECT_EQ((std::vector<std::string>{
                StoredForm("FN:Sam O'Neil\r\n"
                           "N:O'Neil;Sam;;;\r\n"
                           "EMAIL;TYPE=INTERNET;TYPE=HOME:sam.oneil@example.com\r\n"
                           "TEL;TYPE=CELL:(555) 010-7788\r\n"
                           "item1.EMAIL;TYPE=INTERNET:s.oneil@work.example.org\r\n"
                           "item1.X-ABLabel:Work \\, main\r\n"
                           "item2.X-ABDATE:2011-06-04\r\n"
                           "item2.X-ABLabel:_$!<Anniversary>!$_\r\n"
                           "NOTE:Quotes \\\"like this\\\"\\, commas\\, and a link "
                           "http\\://example.com/a?b=c th at was folded with two spaces.\r\n"
                           "CATEGORIES:myContacts,Friends\r\n"),
                StoredForm("FN:Zo\xC3\xAB Kr\xC3\xA4mer-\xC5\x81ukasiewicz\r\n"
                           "N:Kr\xC3\xA4mer-\xC5\x81ukasiewicz;Zo\xC3\xAB;;;\r\n"
                           "EMAIL;TYPE=INTERNET:zoe@example.pl\r\n"
                           "ADR;TYPE=HOME:;;ul. D\xC5\x82uga 7;Gda\xC5\x84sk;;80-831;Polska\r\n"),
                // The card cut off at the end of the file is stored too.
                StoredForm("FN:Cut Short\r\nEMAIL;TYPE=INTERNET:cut@example.net\r\n")}),
            Texts(adaGuid));
}

TEST_F(CardImport, Vcard40WithUnfoldedPhotoUri) {
  const std::string file = DataFile("desktop-v40-photo-uri.vcf");
  Upload(file);
  const size_t photoAt = file.find("PHOTO:data:image/png;base64,");
  ASSERT_NE(std::string::npos, photoAt);
  const std::string photoLine = file.substr(photoAt, file.find("\r\n", photoAt) - photoAt);
  ASSERT_GT(photoLine.size(), 48000u);
  EXPECT_EQ(
      (std::vector<std::string>{
          StoredForm("KIND:individual\r\n"
                     "FN:Amira Haddad\r\n"
                     "N:Haddad;Amira;;Dr.;\r\n"
                     "GENDER:F\r\n"
                     "EMAIL;TYPE=work;PREF=1:amira.haddad@example.org\r\n"
                     "TEL;VALUE=uri;TYPE=\"voice,cell\":tel:+961-1-555-0123\r\n"
                     "LANG;PREF=1:ar\r\n" +
                     photoLine + "\r\n"),
          StoredForm(
              "FN:\xD9\x85\xD9\x83\xD8\xAA\xD8\xA8 \xD8\xA7\xD9\x84\xD8\xA8\xD8\xB1\xD9\x8A"
              "\xD8\xAF\r\n"
              "KIND:org\r\n"
              "ADR;TYPE=work;LABEL=\"Rue Hamra\\nBeirut\":;;Rue Hamra;Beirut;;;Lebanon\r\n")}),
      Texts(adaGuid));
}

// --- Collected real-world files -----------------------------------------------------------------

// Every card of every file of the sample folder is stored, whatever its character set, case or
// shape.

struct Sample {
  const char* name;
  size_t stored;
  size_t refused;  // cards the store turns down (not UTF-8)
};

const Sample kSamples[] = {
    {"aosp-v21-adr-backslash-continuation.vcf", 1, 0},
    {"aosp-v21-comment-lines-mixedcase.vcf", 1, 0},
    {"aosp-v21-complicated-qp-empty-lines.vcf", 1, 0},
    {"aosp-v21-multiple-entries-blank-lines.vcf", 3, 0},  // Shift_JIS
    {"aosp-v21-nested-vcard.vcf", 3, 0},                  // two cards inside a third
    {"aosp-v21-shift-jis-qp.vcf", 1, 0},                  // Shift_JIS
    {"aosp-v40-sort-as-japanese.vcf", 1, 0},
    {"apple-addressbook-v30-japanese-photo.vcf", 1, 0},
    {"apple-addressbook-v30-photo-156k.vcf", 1, 0},
    {"blackberry-v21-photo-unfolded.vcf", 1, 0},
    {"eds-v21-qp-chinese.vcf", 1, 0},
    {"eds-v21-qp-leading-softbreaks.vcf", 1, 0},
    {"eds-v30-evil-folding-escapes.vcf", 1, 0},  // BEGIN:vCard
    {"eds-v30-missing-end.vcf", 1, 0},           // BEGIN:vCard, and no END
    {"google-gmail-v30-ablabel.vcf", 1, 0},
    {"google-gmail-v30-list-no-final-eol.vcf", 3, 0},
    {"hebrew-rtl-v21-utf8-bom.vcf", 1, 0},  // a byte-order mark before BEGIN:VCARD
    {"iphone-ios5-v30-photo-crcrlf.vcf", 1, 0},
    {"kcontacts-v21-qp-softbreak-multi.vcf", 5, 0},
    {"netscape-v21-lowercase.vcf", 1, 0},
    {"outlook-2003-v21-key-blank-lines.vcf", 1, 0},
    {"outlook-german-v21-photo.vcf", 1, 0},
    {"outlook-v21-qp-label-photo.vcf", 1, 0},
    {"sogo-v30-missing-n-fn.vcf", 1, 0},
    {"thunderbird-legacy-v21-lowercase-export.vcf", 2, 0},
    {"thunderbird-v40-export-raw-cr-tab.vcf", 2, 0},
    {"v30-utf16le-bom-crlf.vcf", 2, 0},  // UTF-16 with its byte-order mark
};

class CollectedFiles : public CardImport {
 protected:
  void SetUp() override {
    CardImport::SetUp();
    if (!FileExists(SampleFolder() + "/" + kSamples[0].name)) {
      GTEST_SKIP() << "no sample folder at " << SampleFolder();
    }
  }
};

TEST_F(CollectedFiles, StoreEveryCardWhoseBytesTheDatabaseTakes) {
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.name);
    Caldav::Exec("DELETE FROM addressbook_object");
    std::filesystem::remove(root.Path(lumidex::kErrorLogPath));
    const std::string file = SampleFile(sample.name);
    ASSERT_FALSE(file.empty());
    Upload(file, sample.stored > 0);
    EXPECT_EQ(sample.stored, Texts(adaGuid).size());
    EXPECT_EQ(sample.refused, Occurrences(ErrorLogText(), "the store refused it"));
  }
}

TEST_F(CollectedFiles, LongUnfoldedLinesAndLargePhotosArriveWhole) {
  // A 2.2 KB photo on one line, a 1.3 KB design line and a 156 KB card: each would have ended
  // the import at its first long line with a 1023-byte line buffer.
  const std::string blackberry = SampleFile("blackberry-v21-photo-unfolded.vcf");
  const size_t at = blackberry.find("PHOTO;");
  ASSERT_NE(std::string::npos, at);
  const std::string photoLine = blackberry.substr(at, blackberry.find("\r\n", at) - at);
  ASSERT_GT(photoLine.size(), 2000u);
  Upload(blackberry);
  std::vector<std::string> texts = Texts(adaGuid);
  ASSERT_EQ(1u, texts.size());
  // The data arrives whole; the 2.1 encoding word is written ENCODING=b.
  EXPECT_NE(std::string::npos, texts[0].find(photoLine.substr(photoLine.find(':')) + "\r\n"));

  Caldav::Exec("DELETE FROM addressbook_object");
  const std::string outlook = SampleFile("outlook-german-v21-photo.vcf");
  Upload(outlook);
  texts = Texts(adaGuid);
  ASSERT_EQ(1u, texts.size());
  size_t longest = 0;
  for (size_t begin = 0, end; (end = outlook.find('\n', begin)) != std::string::npos;
       begin = end + 1) {
    const std::string line = outlook.substr(begin, end - begin);
    if (line.size() > 1023 && line.find(':') != std::string::npos) {
      longest = std::max(longest, line.size());
      // As vCard 3.0 text (escapes added, the character set dropped) the value reads the same.
      const std::string name = line.substr(0, line.find_first_of(";:"));
      const size_t stored = texts[0].find("\r\n" + name);
      ASSERT_NE(std::string::npos, stored) << name;
      const size_t valueAt = texts[0].find(':', stored) + 1;
      const std::string value = texts[0].substr(valueAt, texts[0].find("\r\n", valueAt) - valueAt);
      EXPECT_EQ(line.substr(line.find(':') + 1), vcard::UnescapeText(value)) << name;
    }
  }
  EXPECT_GT(longest, 1300u);

  Caldav::Exec("DELETE FROM addressbook_object");
  const std::string apple = SampleFile("apple-addressbook-v30-photo-156k.vcf");
  const std::string photo = Unfolded(apple, "PHOTO;BASE64:", "\r\nX-ABShowAs:");
  ASSERT_GT(photo.size(), 140000u);
  Upload(apple);
  texts = Texts(adaGuid);
  ASSERT_EQ(1u, texts.size());
  // Base64 data folded with extra spaces is stored as one run of base64 text.
  std::string data = photo;
  data.erase(std::remove(data.begin(), data.end(), ' '), data.end());
  EXPECT_NE(std::string::npos, texts[0].find("\r\nPHOTO;ENCODING=b:" + data + "\r\nX-ABShowAs:"));
}

// --- Import, download, import again --------------------------------------------------------------

TEST_F(CardImport, DownloadedCardsImportAgainUnchanged) {
  for (const char* name : {"phone-v21-qp-crlf.vcf", "desktop-v30-groups-photo.vcf",
                           "webmail-v30-lf-cut.vcf", "desktop-v40-photo-uri.vcf"}) {
    Upload(DataFile(name));
  }
  std::vector<std::string> before = Texts(adaGuid);
  ASSERT_EQ(8u, before.size());
  ExpectRoundTripKeeps(before);
}

TEST_F(CollectedFiles, DownloadedCardsImportAgainUnchanged) {
  size_t expected = 0;
  for (const Sample& sample : kSamples) {
    if (sample.stored == 0) continue;
    Upload(SampleFile(sample.name));
    expected += sample.stored;
  }
  std::vector<std::string> before = Texts(adaGuid);
  ASSERT_EQ(expected, before.size());
  ExpectRoundTripKeeps(before);
}

}  // namespace
