/* The package's database helper program, installed as
 * /var/packages/Lumidex/target/tools/orva_db_helper.py (the store starts it by that path).
 *
 *   --checkGUID NAME   print NAME's GUID from the mapping database; for a plausible account name
 *                      without one, make a GUID, record (NAME, GUID) and print it
 *   --getMD5 TEXT      print the MD5 of TEXT's exact bytes as 32 lower-case hex digits
 *   --getUUID          print a fresh UUID
 *
 * It is written in C and linked statically because the store starts it for every stored card:
 * its start-up time is part of every add, edit and import. LUMIDEX_ROOT moves the mapping
 * database like every other fixed path. Nothing is printed on failure; the exit status is 1. */
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/md5.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uuid/uuid.h>

static const char kMappingDb[] = "/var/packages/Lumidex/target/var/db/ShortNameGUIDMapping.db";
enum { kMaxShortName = 255 };

static int print_uuid(void) {
  uuid_t id;
  char text[37];
  uuid_generate_random(id);
  uuid_unparse_upper(id, text);
  printf("%s\n", text);
  return 0;
}

static int print_md5(const char* text) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5((const unsigned char*)text, strlen(text), digest);
  for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) printf("%02x", digest[i]);
  printf("\n");
  return 0;
}

/* An account name the appliance could have: not empty, not too long, valid UTF-8, no control
 * characters. Quotes, backslashes and non-ASCII letters are all fine. */
static int plausible_name(const char* name) {
  size_t length = strlen(name);
  if (length == 0 || length > kMaxShortName) return 0;
  const unsigned char* p = (const unsigned char*)name;
  while (*p) {
    unsigned char c = *p;
    if (c < 0x20 || c == 0x7f) return 0;
    int follow = c < 0x80             ? 0
                 : (c & 0xe0) == 0xc0 ? 1
                 : (c & 0xf0) == 0xe0 ? 2
                 : (c & 0xf8) == 0xf0 ? 3
                                      : -1;
    if (follow < 0 || (follow == 1 && c < 0xc2)) return 0;
    ++p;
    for (int i = 0; i < follow; ++i, ++p) {
      if ((*p & 0xc0) != 0x80) return 0;
    }
  }
  return 1;
}

static int lookup_guid(sqlite3* db, const char* name, char* guid, size_t size) {
  sqlite3_stmt* statement = NULL;
  int found = 0;
  if (sqlite3_prepare_v2(db, "SELECT GUID FROM mapping WHERE short_name=?1", -1, &statement,
                         NULL) != SQLITE_OK) {
    return -1;
  }
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_TRANSIENT);
  /* The last row wins, as it does for the store's own lookup. */
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* value = sqlite3_column_text(statement, 0);
    if (!value) continue;
    snprintf(guid, size, "%s", (const char*)value);
    found = 1;
  }
  sqlite3_finalize(statement);
  return found;
}

static int check_guid(const char* name) {
  if (!plausible_name(name)) return 1;
  const char* root = getenv("LUMIDEX_ROOT");
  char path[4096];
  if (snprintf(path, sizeof path, "%s%s", root ? root : "", kMappingDb) >= (int)sizeof path)
    return 1;

  sqlite3* db = NULL;
  if (sqlite3_open(path, &db) != SQLITE_OK) {
    sqlite3_close(db);
    return 1;
  }
  sqlite3_busy_timeout(db, 10000);
  char guid[64] = "";
  int status = 1;
  /* One writer at a time, so two first requests of one user agree on a single GUID. */
  if (sqlite3_exec(db,
                   "CREATE TABLE IF NOT EXISTS mapping(short_name text, GUID text, "
                   "PRIMARY KEY(GUID)); BEGIN IMMEDIATE",
                   NULL, NULL, NULL) != SQLITE_OK) {
    goto done;
  }
  int found = lookup_guid(db, name, guid, sizeof guid);
  if (found < 0) goto rollback;
  if (!found) {
    uuid_t id;
    uuid_generate_random(id);
    uuid_unparse_upper(id, guid);
    sqlite3_stmt* insert = NULL;
    if (sqlite3_prepare_v2(db, "INSERT INTO mapping(short_name, GUID) VALUES(?1, ?2)", -1, &insert,
                           NULL) != SQLITE_OK) {
      goto rollback;
    }
    sqlite3_bind_text(insert, 1, name, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, guid, -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(insert);
    sqlite3_finalize(insert);
    if (rc != SQLITE_DONE) goto rollback;
  }
  if (sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) != SQLITE_OK) goto rollback;
  printf("%s\n", guid);
  status = 0;
  goto done;
rollback:
  sqlite3_exec(db, "ROLLBACK", NULL, NULL, NULL);
done:
  sqlite3_close(db);
  return status;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--getUUID") == 0) return print_uuid();
  if (argc == 3 && strcmp(argv[1], "--getMD5") == 0) return print_md5(argv[2]);
  if (argc == 3 && strcmp(argv[1], "--checkGUID") == 0) return check_guid(argv[2]);
  fprintf(stderr, "usage: %s --checkGUID NAME | --getMD5 TEXT | --getUUID\n", argv[0]);
  return 1;
}
