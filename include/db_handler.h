// DBHandler: the one handle through which the module and the rename tool reach the daemon's
// address-book tables (PostgreSQL "caldav") and the local short-name/GUID mapping (SQLite).
// Failures are reported by return value and logged to the system log; nothing is thrown.
#ifndef LUMIDEX_DB_HANDLER_H
#define LUMIDEX_DB_HANDLER_H

#include <json/value.h>

#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

struct sqlite3;
struct ORVADBConnection;
typedef struct ORVADBConnection DBConnect;
struct ORVADBResult;
typedef struct ORVADBResult DBResult;
namespace lumidex {
class Rows;
}

class DBHandler {
 public:
  DBHandler();
  ~DBHandler();
  DBHandler(const DBHandler&) = delete;
  DBHandler& operator=(const DBHandler&) = delete;

  // Short name -> GUID from the mapping database; "" when unknown, and also when the database
  // could not be read (LookupGUID tells the two apart).
  std::string GetGUID(std::string shortName);
  // The GUID mapped to `shortName` in `guid`, "" when the mapping holds none. False when the
  // mapping database could not be read: the user is then not known to be unknown.
  bool LookupGUID(std::string shortName, std::string& guid);
  // The helper program's GUID for the short name (it records the mapping); "" on failure.
  std::string SetGUID(std::string shortName);
  // A fresh UUID from the helper program; "" on failure.
  std::string GetUUID();
  // The same for a run of new cards (an import): each call takes the UUID of a helper started
  // by the call before and starts the one for the next call, which then runs while the caller
  // stores its card. The helper left over is waited for when the handler goes.
  std::string GetUUIDAhead();
  // Starts the helpers that give the card `text` its MD5 and resource name, so that they run
  // while the caller stores the card before it; AddCard of the same text, in the same order,
  // takes their answers. A card prepared but not added is dropped by the AddCard of a card
  // prepared after it, or when the handler goes.
  void PrepareCard(const std::string& text);
  // Creates the user's address-book home, its metadata and its address-book revision row.
  // True only when this call created all three.
  bool SetupUserBasicInfo(std::string shortName);
  // True when the daemon's database answered that `owner` has no address-book home (a mapping
  // left by a provisioning that failed halfway). False when it has one or could not be asked.
  bool HomeIsMissing(std::string owner);
  // Card writes; true on complete success. Each runs as one transaction with the owner's home
  // locked, so a failure leaves nothing half-written and the revision rows of one home follow
  // the order of its changes.
  bool AddCard(std::string owner, std::string vcardUid, std::string vcardText);
  bool UpdateCard(std::string owner, std::string resourceName, std::string vcardText);
  // UpdateCard that first checks, inside its transaction with the card row locked, that the
  // stored md5 still equals `expectedMd5` (when `expectedMd5` is not empty). On a mismatch it
  // writes nothing, sets `stale` and returns false.
  bool UpdateCard(std::string owner, std::string resourceName, std::string vcardText,
                  std::string expectedMd5, bool& stale);
  bool DelCard(std::string owner, std::string resourceName);
  // Appends resource name, vCard text and resource id of every card of `owner` to the three
  // parallel arrays; returns how many were appended (0 on any failure).
  unsigned int GetCards(Json::Value& resourceNames, Json::Value& vcardTexts, std::string owner,
                        Json::Value& resourceIds);
  // The same in one statement, with each card's md5 (its etag) appended to `md5s` too, and the
  // number of cards in `count`. False when the cards could not be read: the arrays are then
  // left as they were. A user without an address book has no cards (true, count 0).
  bool GetCards(Json::Value& resourceNames, Json::Value& vcardTexts, std::string owner,
                Json::Value& resourceIds, Json::Value& md5s, unsigned int& count);
  // The stored text and md5 of the owner's card `resourceName`. False when the card is not
  // there or could not be read; `found` tells the two apart: it is false only when the
  // database answered that the owner has no such card, and stays true after a failed read (the
  // card may well be there).
  bool GetCard(std::string owner, std::string resourceName, std::string& vcardText,
               std::string& md5, bool& found);
  // The stored text of one card of `owner` followed by "\n", or "error".
  std::string ExportData(std::string owner, std::string resourceId);
  // The stored texts of every card of `owner`, each followed by "\n", appended to `body` from
  // one statement, so that a card deleted meanwhile is in it whole or not at all. False when the
  // cards could not be read; a user without an address book has none (true).
  bool ExportAllData(std::string owner, std::string& body);

  // One card as the listing reads it; the texts live until the visitor returns.
  struct CardRow {
    const char* resourceId;
    const char* resourceName;
    const char* vcardText;
    const char* md5;
  };
  // The rows GetCards reads, from the same statement, handed to `each` one at a time in the
  // store's order once all of them are in: false (and no call) when the cards could not be read,
  // so a failure is known before the first card is used. True with no call for no cards.
  bool ReadCardRows(std::string owner, const std::function<void(const CardRow&)>& each);
  // The texts ExportAllData reads, from the same statement: `total` once with the download's
  // size (every text and its "\n"), then `each` per text. Same failure rule as ReadCardRows.
  bool ReadCardTexts(std::string owner, const std::function<void(unsigned long long)>& total,
                     const std::function<void(const char*, std::size_t)>& each);

  // An import's run of card writes: AddCard calls between BeginCardBatch and EndCardBatch share
  // one transaction, each in a savepoint of its own, so that a refused card rolls back alone
  // and the cards wait for one log flush instead of one each. EndCardBatch commits; only then
  // are the batch's cards stored, and false means none of them is.
  bool BeginCardBatch();
  bool EndCardBatch();

 private:
  bool CreateTable();
  std::string GetMD5(std::string text);
  // GetMD5(text) and GetUUID() from helpers that run side by side: those PrepareCard started for
  // the text, else new ones.
  void GetMD5AndUUID(const std::string& text, std::string& md5, std::string& uuid);
  void DropOldestPreparedCard();
  std::string GetNowTimeInfo();
  std::string GetResourceID(std::string owner);
  // The home id of `owner` in `homeId` ("" when it has none), with `lockHome` locking the home's
  // row until the transaction ends. False when the query failed. Logs only the failure.
  bool ReadResourceID(std::string owner, bool lockHome, std::string& homeId);
  // `columns` of every card of the owner's home, in `rows` (none when the owner has no home),
  // from the statement called `name` in the log. False when the home or its cards could not be
  // read.
  bool ReadHomeCards(std::string owner, const char* name, const char* columns, lumidex::Rows& rows);
  // Inside a write's transaction: the owner's home id, its row locked until the transaction
  // ends. False (logged) when the query failed or the owner has no home.
  bool LockHome(std::string owner, std::string& homeId);
  // The md5 (and, when `vcardText` is not null, the text) of the card `resourceName` of the home
  // `homeId`; with `lockRow` the card's row stays locked until the transaction ends. `found` is
  // false when there is no such card. False when the query failed (`found` is then true).
  bool ReadCardRow(std::string homeId, std::string resourceName, bool lockRow,
                   std::string* vcardText, std::string& md5, bool& found);
  // Inside an update's transaction: true when `expectedMd5` is empty or still the md5 of the
  // card, whose row then stays locked. Otherwise false (logged), with `stale` set when the card
  // is there but changed.
  bool StoredMd5Is(const std::string& homeId, const std::string& resourceName,
                   const std::string& expectedMd5, bool& stale);
  // Matches by owner's home as well as name, so one user's request never touches another's card.
  bool DelAddressbookObj(std::string homeId, std::string resourceName);
  bool IsUserExist(std::string owner);
  bool InsertAddressbookHome(std::string owner);
  bool InsertAddressbookHomeMeta(std::string homeId, std::string now);
  bool InsertAddressbookObjRevision(std::string homeId, std::string addressbookName,
                                    std::string resourceName, std::string deleted);
  bool UpdateAddressbookHomeMeta(std::string homeId, std::string modified);
  bool UpdateAddressbookObjRevision(std::string homeId, std::string resourceName,
                                    std::string deleted);
  // Whether the open mapping database (`_db`) holds the mapping table; true when that cannot
  // be told.
  bool HasMappingTable();
  static int GetGUIDCallback(void* target, int columnCount, char** values, char** columnNames);

  // Starts the helper program with `option` (and `argument` when not null) and returns at most
  // `width` characters of its first output line. With `logged` the failure messages name that
  // value after the option (the MD5 text is never logged).
  std::string ReadHelperLine(std::size_t width, const char* option, const char* argument,
                             const char* logged);
  // ReadHelperLine in two steps, so that helpers can run at once: the started helper's output
  // (null, logged, when it could not start), then its line, read and the helper waited for.
  FILE* StartHelper(const char* option, const char* argument, const char* logged);
  std::string FinishHelper(FILE* stream, std::size_t width, const char* option, const char* logged);

  FILE* _uuidAhead = nullptr;  // the helper GetUUIDAhead started for its next call
  struct PreparedCard {
    std::string text;
    FILE* md5;
    FILE* uuid;
  };
  std::deque<PreparedCard> _prepared;  // PrepareCard's helpers, oldest first

  // How long a connection to the mapping database waits for another process's lock: the
  // helper writes to it while it records a new user.
  static constexpr int kMappingBusyTimeoutMs = 10000;

  // Runs one card write's statements as a transaction, or as a savepoint inside an open batch.
  bool RunCardWrite(const std::function<bool()>& steps);

  int _errCode;
  bool _inBatch = false;
  bool _batchBroken = false;  // a savepoint could not be rolled back: the batch cannot commit
  std::string _sqlite_DB_path;
  sqlite3* _db;
  DBConnect* _pConnection;
};

#endif  // LUMIDEX_DB_HANDLER_H
