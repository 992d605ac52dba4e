// Card writes against the daemon's real tables: the card row, the home's modification time and
// the revision rows through add, update and delete, with hostile, large and clashing cards.
#include <algorithm>
#include <regex>

#include "db_handler.h"
#include "test_env.h"

using namespace testenv;

namespace {

const char kOldTime[] = "2001-02-03 04:05:06";

class CardWrites : public StoreTest {
 protected:
  // Provisions `shortName` and returns its GUID.
  std::string User(const std::string& shortName) {
    EXPECT_TRUE(handler.SetupUserBasicInfo(shortName));
    std::string guid = handler.GetGUID(shortName);
    EXPECT_EQ(36u, guid.size());
    return guid;
  }

  // resource_name, vcard_text, vcard_uid, kind, md5, created, modified of every card of a home.
  static Rows Cards(const std::string& home) {
    return Caldav::Query(
        "SELECT resource_name, vcard_text, vcard_uid, kind, md5, created, modified "
        "FROM addressbook_object WHERE addressbook_home_resource_id=" +
        home + " ORDER BY resource_id");
  }

  // owner_home_resource_id, deleted of the card revision rows of (home, name), oldest first.
  static Rows Revisions(const std::string& home, const std::string& name) {
    return Caldav::Query(
        "SELECT owner_home_resource_id, deleted FROM addressbook_object_revisions "
        "WHERE addressbook_home_resource_id=" +
        home + " AND resource_name=" + Caldav::Quote(name) + " ORDER BY revision");
  }

  static std::string MetaModified(const std::string& home) {
    return Caldav::Value("SELECT modified FROM addressbook_home_metadata WHERE resource_id=" +
                         home);
  }

  // Puts the home's metadata time and its cards' times in the past, so that a write shows.
  static void AgeHome(const std::string& home) {
    Caldav::Exec(std::string("UPDATE addressbook_home_metadata SET modified='") + kOldTime +
                 "' WHERE resource_id=" + home);
    Caldav::Exec(std::string("UPDATE addressbook_object SET created='") + kOldTime +
                 "', modified='" + kOldTime + "' WHERE addressbook_home_resource_id=" + home);
  }

  // Counts of the four tables, to show that a refused write left everything as it was.
  static Row TableCounts() {
    return Caldav::Query(
        "SELECT (SELECT count(*) FROM addressbook_home), "
        "(SELECT count(*) FROM addressbook_home_metadata), "
        "(SELECT count(*) FROM addressbook_object), "
        "(SELECT count(*) FROM addressbook_object_revisions), "
        "(SELECT string_agg(modified::text, ',') FROM addressbook_home_metadata)")[0];
  }

  static bool IsRecent(const std::string& timestamp) {
    return Caldav::Value("SELECT abs(extract(epoch FROM timestamp " + Caldav::Quote(timestamp) +
                         " - timezone('UTC', now()))) < 30") == "t";
  }

  static bool IsStoreResourceName(const std::string& name) {
    static const std::regex form("[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\\.vcf");
    return std::regex_match(name, form);
  }

  static std::string Card(const std::string& uid, const std::string& name) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nFN:" + name + "\r\nN:" + name +
           ";;;;\r\nEND:VCARD\r\n";
  }

  // A card whose folded PHOTO line brings it to about `bytes` bytes.
  static std::string PhotoCard(const std::string& uid, std::size_t bytes) {
    std::string text = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid +
                       "\r\nFN:Photo Person\r\nPHOTO;ENCODING=b;TYPE=JPEG:";
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    while (text.size() < bytes) {
      text += "\r\n ";
      for (int k = 0; k < 74; ++k) text += alphabet[(i++ * 7 + k) % alphabet.size()];
    }
    return text + "\r\nEND:VCARD\r\n";
  }

  DBHandler handler;
};

TEST_F(CardWrites, CardPassesThroughItsThreeStatesWithOneCurrentRevision) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  const std::string first = Card("uid-1", "Alice One");
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", first));
  EXPECT_EQ(1, Syslog::Count("Add new Card completely."));

  Rows cards = Cards(home);
  ASSERT_EQ(1u, cards.size());
  const std::string name = cards[0][0];
  EXPECT_TRUE(IsStoreResourceName(name)) << name;
  EXPECT_EQ(first, cards[0][1]);
  EXPECT_EQ("uid-1", cards[0][2]);
  EXPECT_EQ("0", cards[0][3]);
  EXPECT_EQ(Md5Hex(first), cards[0][4]);
  EXPECT_EQ(cards[0][5], cards[0][6]);  // created = modified
  EXPECT_TRUE(IsRecent(cards[0][5])) << cards[0][5] << " is not the current UTC time";
  EXPECT_EQ(cards[0][6], MetaModified(home));
  EXPECT_EQ((Rows{{home, "f"}}), Revisions(home, name));
  const std::string addRevision =
      Caldav::Value("SELECT revision FROM addressbook_object_revisions WHERE resource_name=" +
                    Caldav::Quote(name));

  AgeHome(home);
  const std::string second = Card("uid-1", "Alice Two");
  ASSERT_TRUE(handler.UpdateCard(guid, name, second));
  EXPECT_EQ(1, Syslog::Count("Update Card[" + name + "] completely."));
  cards = Cards(home);
  ASSERT_EQ(1u, cards.size());
  EXPECT_EQ(name, cards[0][0]);
  EXPECT_EQ(second, cards[0][1]);
  EXPECT_EQ(Md5Hex(second), cards[0][4]);
  EXPECT_EQ(kOldTime, cards[0][5]) << "an update must not touch created";
  EXPECT_TRUE(IsRecent(cards[0][6]));
  EXPECT_EQ(cards[0][6], MetaModified(home));
  EXPECT_EQ((Rows{{home, "f"}}), Revisions(home, name));
  EXPECT_NE(addRevision, Caldav::Value("SELECT revision FROM addressbook_object_revisions "
                                       "WHERE resource_name=" +
                                       Caldav::Quote(name)))
      << "the update must replace the add's row with a fresh one";

  AgeHome(home);
  ASSERT_TRUE(handler.DelCard(guid, name));
  EXPECT_EQ(1, Syslog::Count("Delete Card[" + name + "] completely."));
  EXPECT_TRUE(Cards(home).empty());
  EXPECT_EQ((Rows{{home, "t"}}), Revisions(home, name));
  EXPECT_TRUE(IsRecent(MetaModified(home)));

  // Deleting what is gone still succeeds and records one more deletion.
  ASSERT_TRUE(handler.DelCard(guid, name));
  EXPECT_EQ((Rows{{home, "t"}, {home, "t"}}), Revisions(home, name));
  // The address book's own revision row of the provisioning is never touched.
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_object_revisions "
                               "WHERE resource_name='' AND addressbook_name='addressbook'"));
}

TEST_F(CardWrites, SameTextTwiceMakesTwoCardsButTheSameUidIsRefused) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  const std::string text = Card("same", "Twin");
  ASSERT_TRUE(handler.AddCard(guid, "uid-a", text));
  ASSERT_TRUE(handler.AddCard(guid, "uid-b", text));
  Rows cards = Cards(home);
  ASSERT_EQ(2u, cards.size());
  EXPECT_NE(cards[0][0], cards[1][0]);

  Syslog::Clear();
  const std::string revisionsBefore =
      Caldav::Value("SELECT count(*) FROM addressbook_object_revisions");
  EXPECT_FALSE(handler.AddCard(guid, "uid-a", Card("other", "Other")));
  EXPECT_EQ(1, Syslog::Count("Add new Card failed!!"));
  EXPECT_EQ(0, Syslog::Count("completely"));
  EXPECT_EQ(2u, Cards(home).size());
  EXPECT_EQ(revisionsBefore, Caldav::Value("SELECT count(*) FROM addressbook_object_revisions"));
}

TEST_F(CardWrites, HostileTextsAreStoredByteForByteWithTheDigestOfTheirOwnBytes) {
  const std::string guid = User("o'brien");
  const std::string home = Caldav::HomeOf(guid);
  const std::string uid = "it's \\ a 'uid' \xE2\x9C\x93";
  const std::string hostile = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid +
                              "\r\nFN:O'Brien \"Bob\" \\'; DROP TABLE addressbook_object; --\r\n"
                              "NOTE:back\\\\slash \\n \\' '' $$ $tag$ \\x00 \\\\'\r\n"
                              "ADR:;;M\xC3\xBCnchener Stra\xC3\x9F"
                              "e 1;\xE6\x9D\xB1\xE4\xBA\xAC;;;\r\n"
                              "X-EMOJI:\xF0\x9F\x93\x87\ttab\r\nEND:VCARD\r\n";
  ASSERT_TRUE(handler.AddCard(guid, uid, hostile));
  Rows cards = Cards(home);
  ASSERT_EQ(1u, cards.size());
  EXPECT_EQ(hostile, cards[0][1]);
  EXPECT_EQ(uid, cards[0][2]);
  EXPECT_EQ(Md5Hex(hostile), cards[0][4]);

  // The same through an update, with vCard escapes and a fold that starts with two blanks.
  const std::string changed =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nitem1.URL:http\\://example.org/o'brien\r\n"
      "NOTE:She said \\\"hi\\\"\\, then\r\n  left '' \\\\'\r\nEND:VCARD\r\n";
  ASSERT_TRUE(handler.UpdateCard(guid, cards[0][0], changed));
  cards = Cards(home);
  ASSERT_EQ(1u, cards.size());
  EXPECT_EQ(changed, cards[0][1]);
  EXPECT_EQ(Md5Hex(changed), cards[0][4]);
  EXPECT_EQ(uid, cards[0][2]);
}

TEST_F(CardWrites, NamesWithQuotesGetTheirRevisionRowsUnchanged) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  // A card made by a client, whose name the store did not choose.
  const std::string name = "it's-a-client's.vcf";
  Caldav::InsertCard(home, name, "x", "client");
  ASSERT_TRUE(handler.UpdateCard(guid, name, Card("client", "Client")));
  EXPECT_EQ((Rows{{home, "f"}}), Revisions(home, name));
  EXPECT_EQ(1, Syslog::Count("Update Card[" + name + "] completely."));
  ASSERT_TRUE(handler.DelCard(guid, name));
  EXPECT_EQ((Rows{{home, "t"}}), Revisions(home, name));
  EXPECT_TRUE(Cards(home).empty());
}

TEST_F(CardWrites, CardForAGuidWithoutAHomeIsRefusedWithNothingWritten) {
  User("alice");
  const Row before = TableCounts();
  Syslog::Clear();
  EXPECT_FALSE(handler.AddCard("99999999-9999-9999-9999-999999999999", "u", Card("u", "Nobody")));
  EXPECT_FALSE(handler.AddCard("", "u", Card("u", "Nobody")));
  EXPECT_FALSE(handler.UpdateCard("99999999-9999-9999-9999-999999999999", "x.vcf", "x"));
  EXPECT_FALSE(handler.DelCard("99999999-9999-9999-9999-999999999999", "x.vcf"));
  EXPECT_EQ(before, TableCounts());
  EXPECT_EQ(4, Syslog::Count("Can't find resource ID!!"));
  EXPECT_EQ(0, Syslog::Count("completely"));
}

TEST_F(CardWrites, OneUsersWritesNeverTouchAnotherUsersCardOfTheSameName) {
  const std::string alice = User("alice");
  const std::string bob = User("bob");
  const std::string aliceHome = Caldav::HomeOf(alice);
  const std::string bobHome = Caldav::HomeOf(bob);
  for (const auto& home : {aliceHome, bobHome}) {
    Caldav::InsertCard(home, "shared.vcf", "text of " + home, "uid");
  }
  AgeHome(bobHome);
  const Rows bobBefore = Cards(bobHome);

  ASSERT_TRUE(handler.UpdateCard(alice, "shared.vcf", "new text"));
  EXPECT_EQ("new text", Cards(aliceHome)[0][1]);
  ASSERT_TRUE(handler.DelCard(alice, "shared.vcf"));
  EXPECT_TRUE(Cards(aliceHome).empty());
  EXPECT_EQ((Rows{{aliceHome, "t"}}), Revisions(aliceHome, "shared.vcf"));

  EXPECT_EQ(bobBefore, Cards(bobHome));
  EXPECT_TRUE(Revisions(bobHome, "shared.vcf").empty());
  EXPECT_EQ(kOldTime, MetaModified(bobHome));

  // Alice asking to update Bob's card by its name finds no card of hers.
  EXPECT_FALSE(handler.UpdateCard(alice, "shared.vcf", "hijack"));
  EXPECT_EQ(bobBefore, Cards(bobHome));
}

TEST_F(CardWrites, UpdateOfAnUnknownNameFailsAndWritesNothing) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "Kept")));
  AgeHome(home);
  const Row before = TableCounts();
  const Rows cards = Cards(home);
  Syslog::Clear();
  EXPECT_FALSE(handler.UpdateCard(guid, "no-such-card.vcf", Card("uid-1", "Changed")));
  EXPECT_EQ(before, TableCounts());
  EXPECT_EQ(cards, Cards(home));
  EXPECT_TRUE(Revisions(home, "no-such-card.vcf").empty());
  EXPECT_EQ(kOldTime, MetaModified(home));
  EXPECT_EQ(1, Syslog::Count("Card[no-such-card.vcf] not found, nothing updated"));
  EXPECT_EQ(0, Syslog::Count("completely"));
}

TEST_F(CardWrites, DeleteOfAnUnknownNameSucceedsAndRecordsTheDeletion) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "Kept")));
  EXPECT_TRUE(handler.DelCard(guid, "never-was.vcf"));
  EXPECT_EQ((Rows{{home, "t"}}), Revisions(home, "never-was.vcf"));
  EXPECT_EQ(1u, Cards(home).size());
}

TEST_F(CardWrites, CardsBeyondTheArgumentLimitKeepTheirDigest) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  const std::string big = PhotoCard("big-photo", 200 * 1024);
  ASSERT_GT(big.size(), 200u * 1024);
  ASSERT_TRUE(handler.AddCard(guid, "big-photo", big));
  // The helper could not even start with such an argument; the store made the digest itself.
  EXPECT_EQ(1, Syslog::Count("--getMD5), reason="));
  EXPECT_EQ(1, Syslog::Count("No MD5 from the helper, computed in the store"));
  EXPECT_EQ(0, Syslog::Count("No UUID from the helper"));
  Rows cards = Cards(home);
  ASSERT_EQ(1u, cards.size());
  EXPECT_EQ(big, cards[0][1]);
  EXPECT_EQ(Md5Hex(big), cards[0][4]);
  EXPECT_TRUE(IsStoreResourceName(cards[0][0]));

  // Just past the limit of a single argument (128 KiB with its terminating NUL), through an update.
  const std::string photo = PhotoCard("big-photo", 128 * 1024);
  ASSERT_TRUE(handler.UpdateCard(guid, cards[0][0], photo));
  EXPECT_EQ(2, Syslog::Count("--getMD5), reason="));
  cards = Cards(home);
  EXPECT_EQ(photo, cards[0][1]);
  EXPECT_EQ(Md5Hex(photo), cards[0][4]);

  // Below the limit the helper still answers for a large card.
  Syslog::Clear();
  const std::string large = PhotoCard("large-photo", 100 * 1024);
  ASSERT_TRUE(handler.UpdateCard(guid, cards[0][0], large));
  EXPECT_EQ(0, Syslog::Count("No MD5 from the helper"));
  EXPECT_EQ(Md5Hex(large), Cards(home)[0][4]);
}

TEST_F(CardWrites, MissingOrBrokenHelperStillGivesProperNamesAndDigests) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);

  root.RemoveHelper();
  Syslog::Clear();
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "One")));
  ASSERT_TRUE(handler.AddCard(guid, "uid-2", Card("uid-2", "Two")));
  EXPECT_EQ(2, Syslog::Count("No MD5 from the helper, computed in the store"));
  EXPECT_EQ(2, Syslog::Count("No UUID from the helper, made in the store"));

  // A helper that answers, but not with a UUID or a digest.
  root.InstallHelper(WriteScript(root.Path("/short.sh"), "printf 'abc\\n'\n"));
  ASSERT_TRUE(handler.AddCard(guid, "uid-3", Card("uid-3", "Three")));
  root.InstallHelper(
      WriteScript(root.Path("/nonhex.sh"), "printf 'zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz\\n'\n"));
  ASSERT_TRUE(handler.AddCard(guid, "uid-4", Card("uid-4", "Four")));

  const Rows cards = Cards(home);
  ASSERT_EQ(4u, cards.size());
  std::vector<std::string> names;
  for (const auto& card : cards) {
    EXPECT_TRUE(IsStoreResourceName(card[0])) << card[0];
    EXPECT_EQ(Md5Hex(card[1]), card[4]);
    names.push_back(card[0]);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_object WHERE md5 = '' OR "
                               "resource_name = '.vcf'"));
}

TEST_F(CardWrites, FailedStepsAreReportedAndRolledBackWhole) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  AgeHome(home);
  const Row before = TableCounts();

  Caldav::Exec("ALTER TABLE addressbook_object_revisions RENAME TO moved_away");
  Syslog::Clear();
  EXPECT_FALSE(handler.AddCard(guid, "uid-1", Card("uid-1", "One")));
  EXPECT_EQ(1, Syslog::Count("remove old revision failed"));
  EXPECT_EQ(1, Syslog::Count("Update addressbook_obj_rev[" + home + "] failed!!"));
  EXPECT_EQ(0, Syslog::Count("Add new Card completely."));
  Caldav::Exec("ALTER TABLE moved_away RENAME TO addressbook_object_revisions");
  EXPECT_EQ(before, TableCounts()) << "no card without its revision, no new home time";

  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "One")));
  const std::string name = Cards(home)[0][0];
  AgeHome(home);
  const Row stored = TableCounts();

  // The insert of the new revision row fails alone; the text and the old row stay as they were.
  Caldav::Exec(
      "ALTER TABLE addressbook_object_revisions ADD CONSTRAINT only_deletions CHECK (deleted) NOT "
      "VALID");
  Syslog::Clear();
  EXPECT_FALSE(handler.UpdateCard(guid, name, Card("uid-1", "Changed")));
  EXPECT_EQ(1, Syslog::Count("insert new revision failed"));
  EXPECT_EQ(1, Syslog::Count("Update addressbook_obj_rev[" + home + "] failed!!"));
  EXPECT_EQ(Card("uid-1", "One"), Cards(home)[0][1]);
  EXPECT_EQ((Rows{{home, "f"}}), Revisions(home, name));
  Caldav::Exec("ALTER TABLE addressbook_object_revisions DROP CONSTRAINT only_deletions");
  EXPECT_EQ(stored, TableCounts());

  Caldav::Exec("ALTER TABLE addressbook_home_metadata RENAME TO moved_away");
  Syslog::Clear();
  EXPECT_FALSE(handler.DelCard(guid, name));
  EXPECT_EQ(1, Syslog::Count("DB command failed"));
  EXPECT_EQ(1, Syslog::Count("Update addressbook_home_meta[" + home + "] failed!!"));
  Caldav::Exec("ALTER TABLE moved_away RENAME TO addressbook_home_metadata");
  EXPECT_EQ(1u, Cards(home).size()) << "a delete without its revision row is undone";
  EXPECT_EQ((Rows{{home, "f"}}), Revisions(home, name));
  EXPECT_EQ(stored, TableCounts());

  Caldav::Exec("ALTER TABLE addressbook_object RENAME TO moved_away");
  Syslog::Clear();
  EXPECT_FALSE(handler.DelCard(guid, name));
  EXPECT_EQ(1, Syslog::Count("remove card failed!!"));
  EXPECT_FALSE(handler.UpdateCard(guid, name, "x"));
  EXPECT_EQ(1, Syslog::Count("Update addressbook_object failed!!"));
  EXPECT_EQ(0, Syslog::Count("DB command failed"));
  Caldav::Exec("ALTER TABLE moved_away RENAME TO addressbook_object");
}

// An edit made from a card read earlier: it goes in only while the card is still as read.
TEST_F(CardWrites, UpdateAgainstTheDigestItWasReadWithRefusesAStaleCard) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "One")));
  const std::string name = Cards(home)[0][0];

  std::string text, md5;
  bool found = false;
  ASSERT_TRUE(handler.GetCard(guid, name, text, md5, found));
  EXPECT_TRUE(found);
  EXPECT_EQ(Card("uid-1", "One"), text);
  EXPECT_EQ(Md5Hex(text), md5);

  bool stale = true;
  ASSERT_TRUE(handler.UpdateCard(guid, name, Card("uid-1", "Two"), md5, stale));
  EXPECT_FALSE(stale);
  const Rows afterFirst = Cards(home);
  const Row counts = TableCounts();
  // The same digest again is now out of date: nothing is written.
  EXPECT_FALSE(handler.UpdateCard(guid, name, Card("uid-1", "Three"), md5, stale));
  EXPECT_TRUE(stale);
  EXPECT_EQ(afterFirst, Cards(home));
  EXPECT_EQ(counts, TableCounts());
  // No digest: an update as before.
  EXPECT_TRUE(handler.UpdateCard(guid, name, Card("uid-1", "Four"), "", stale));
  EXPECT_FALSE(stale);
  EXPECT_EQ(Card("uid-1", "Four"), Cards(home)[0][1]);

  // Not there is told apart from stale and from a failed read.
  const std::string other = User("bob");
  EXPECT_FALSE(handler.GetCard(other, name, text, md5, found));
  EXPECT_FALSE(found);
  EXPECT_FALSE(handler.UpdateCard(other, name, Card("uid-1", "Five"), Md5Hex(text), stale));
  EXPECT_FALSE(stale);
  EXPECT_FALSE(handler.GetCard(guid, "no-such.vcf", text, md5, found));
  EXPECT_FALSE(found);
  Caldav::Exec("ALTER TABLE addressbook_object RENAME TO moved_away");
  EXPECT_FALSE(handler.GetCard(guid, name, text, md5, found));
  EXPECT_TRUE(found) << "a failed read is not a missing card";
  Caldav::Exec("ALTER TABLE moved_away RENAME TO addressbook_object");
}

TEST_F(CardWrites, TextsTheDatabaseCannotHoldAreRefusedWhole) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  Syslog::Clear();
  EXPECT_FALSE(handler.AddCard(guid, "nul", std::string("BEGIN:VCARD\r\nFN:a\0b\r\n", 21)));
  EXPECT_EQ(1, Syslog::Count("Card text holds a NUL byte, not stored"));
  EXPECT_FALSE(handler.AddCard(guid, std::string(256, 'u'), Card("long", "Long UID")));
  EXPECT_FALSE(handler.AddCard(guid, "latin1", "FN:M\xFCller\r\n"));
  EXPECT_TRUE(Cards(home).empty());
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_object_revisions"));
}

TEST_F(CardWrites, OverlongNamesAreRefusedNotCutOff) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "One")));
  const Row before = TableCounts();
  // A stored card's name with more after it: cut short, it would name that card.
  const std::string name = Cards(home)[0][0] + std::string(600, 'n');
  Syslog::Clear();
  EXPECT_FALSE(handler.DelCard(guid, name));
  EXPECT_EQ(1, Syslog::Count("insert new revision failed")) << "the column's width refuses it";
  EXPECT_EQ(before, TableCounts());
  EXPECT_EQ(1u, Cards(home).size());
}

// The client takes C strings: a value with a NUL byte would reach the database cut short there.
TEST_F(CardWrites, NamesWithANulByteAreRefusedNotCutOff) {
  const std::string guid = User("alice");
  const std::string home = Caldav::HomeOf(guid);
  ASSERT_TRUE(handler.AddCard(guid, "uid-1", Card("uid-1", "One")));
  const Row before = TableCounts();
  const std::string name = Cards(home)[0][0] + std::string("\0x", 2);
  Syslog::Clear();
  EXPECT_FALSE(handler.DelCard(guid, name));
  bool stale = true;
  EXPECT_FALSE(handler.UpdateCard(guid, name, Card("uid-1", "Two"), "", stale));
  EXPECT_EQ(2, Syslog::Count("has a value it cannot hold, not run"));
  EXPECT_EQ(before, TableCounts());
  EXPECT_EQ(Card("uid-1", "One"), Cards(home)[0][1]);
}

}  // namespace
