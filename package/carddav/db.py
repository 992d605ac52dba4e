"""The daemon's database "caldav" as the store library uses it: a bounded set of connections,
the short-name -> GUID mapping, and the statements on the four address-book tables, written as
the store writes them (same statements, same row shapes, the home row locked FOR UPDATE first),
with every value bound."""
import datetime
import os
import sqlite3
import subprocess
import threading

import psycopg2
import psycopg2.errors

PACKAGE_DIR = "/var/packages/Lumidex/target"
MAPPING_DB = PACKAGE_DIR + "/var/db/ShortNameGUIDMapping.db"
HELPER = PACKAGE_DIR + "/tools/orva_db_helper.py"


def rooted(path):
    """The fixed path under LUMIDEX_ROOT, as the store resolves it."""
    return os.environ.get("LUMIDEX_ROOT", "").rstrip("/") + path


def now_text():
    # The store's GetNowTimeInfo: UTC, seconds.
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


class Pool:
    """At most `size` connections at once; a request waits for a free one rather than opening
    more, so many clients cannot exhaust the server's connection slots."""

    def __init__(self, size):
        self._free = []
        self._slots = threading.BoundedSemaphore(size)
        self._lock = threading.Lock()

    def take(self):
        self._slots.acquire()
        with self._lock:
            connection = self._free.pop() if self._free else None
        try:
            if connection is None or connection.closed:
                connection = psycopg2.connect(dbname="caldav", user="postgres",
                                              client_encoding="UTF8",
                                              options="-c standard_conforming_strings=on")
                connection.autocommit = True  # transactions are begun explicitly
        except Exception:
            self._slots.release()
            raise
        return connection

    def give_back(self, connection):
        with self._lock:
            if not connection.closed:
                self._free.append(connection)
        self._slots.release()


class Transaction:
    """One request's transaction: read-only at one snapshot for "r" (the sync token and the cards
    come from the same moment), or a write with the signed-in user's home row locked."""

    def __init__(self, connection, mode):
        self.connection = connection
        self.cursor = connection.cursor()
        self.mode = mode
        self.locked_home = None
        self.user = ""
        self._homes = {}
        if mode == "r":
            self.cursor.execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
        else:
            self.cursor.execute("BEGIN")

    def finish(self, commit):
        self.cursor.execute("COMMIT" if commit else "ROLLBACK")

    def home_of(self, user, lock=False):
        """The resource id of `user`'s home, or None (no GUID, no home)."""
        if user in self._homes and not lock:
            return self._homes[user]
        guid = lookup_guid(user)
        home = None
        if guid:
            # The store's ReadResourceID; FOR UPDATE serialises the writers of one home, so
            # revision numbers follow the order in which changes commit.
            self.cursor.execute("SELECT resource_id FROM addressbook_home WHERE owner_uid=%s" +
                                (" FOR UPDATE" if lock else ""), (guid,))
            row = self.cursor.fetchone()
            home = row[0] if row else None
        self._homes[user] = home
        return home

    def execute(self, statement, values=()):
        self.cursor.execute(statement, values)
        return self.cursor


def lookup_guid(user):
    """`user`'s GUID from the mapping database, or "" when it maps nobody."""
    path = rooted(MAPPING_DB)
    try:
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=10)
    except sqlite3.Error:
        return ""
    try:
        row = db.execute("SELECT GUID FROM mapping WHERE short_name=?", (user,)).fetchone()
    except sqlite3.Error:
        row = None  # no mapping table yet: nobody is mapped
    finally:
        db.close()
    return (row[0] or "") if row else ""


def provision(pool, user):
    """Gives `user` a home as the listing does (the helper maps the name, then the home, its
    metadata and the address book's revision row in one transaction). A home made meanwhile by
    the web API is as good as our own. True when the user has a home afterwards."""
    try:
        guid = subprocess.run([rooted(HELPER), "--checkGUID", user], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=30).stdout.decode().strip()
    except (OSError, subprocess.SubprocessError, UnicodeDecodeError):
        return False
    if not guid:
        return False
    connection = pool.take()
    try:
        cursor = connection.cursor()
        cursor.execute("SELECT resource_id FROM addressbook_home WHERE owner_uid=%s", (guid,))
        if cursor.fetchone():
            return True
        now = now_text()
        try:
            cursor.execute("BEGIN")
            cursor.execute("INSERT INTO addressbook_home (owner_uid, dataversion) VALUES (%s, %s)",
                           (guid, "2"))
            cursor.execute("SELECT resource_id FROM addressbook_home WHERE owner_uid=%s", (guid,))
            home = cursor.fetchone()[0]
            cursor.execute("INSERT INTO addressbook_home_metadata (resource_id, quota_used_bytes, "
                           "created, modified) VALUES (%s, %s, %s, %s)", (home, "0", now, now))
            cursor.execute("INSERT INTO addressbook_object_revisions (addressbook_home_resource_id, "
                           "owner_home_resource_id, addressbook_name, resource_name, deleted) "
                           "VALUES (%s, %s, %s, %s, %s)", (home, home, "addressbook", "", "F"))
            cursor.execute("COMMIT")
            return True
        except psycopg2.errors.UniqueViolation:
            # The web API provisioned the same user at the same moment.
            cursor.execute("ROLLBACK")
            cursor.execute("SELECT resource_id FROM addressbook_home WHERE owner_uid=%s", (guid,))
            return cursor.fetchone() is not None
    except psycopg2.Error:
        if not connection.closed:
            try:
                connection.cursor().execute("ROLLBACK")
            except psycopg2.Error:
                connection.close()
        return False
    finally:
        pool.give_back(connection)


def _note_change(transaction, home, name, deleted, now):
    # UpdateAddressbookHomeMeta and UpdateAddressbookObjRevision of the store.
    transaction.execute("UPDATE addressbook_home_metadata SET modified=%s WHERE resource_id=%s",
                        (now, home))
    transaction.execute("DELETE FROM addressbook_object_revisions WHERE "
                        "addressbook_home_resource_id=%s and resource_name=%s and deleted='f'",
                        (home, name))
    transaction.execute("INSERT INTO addressbook_object_revisions (addressbook_home_resource_id, "
                        "owner_home_resource_id, resource_name, deleted) values (%s, %s, %s, %s)",
                        (home, home, name, deleted))


def store_card(transaction, home, name, text, uid, md5):
    """Adds or replaces the card `name` (the store's UpdateCard, else its AddCard)."""
    now = now_text()
    cursor = transaction.execute(
        "UPDATE addressbook_object SET vcard_text=%s, md5=%s, modified=%s WHERE resource_name=%s "
        "and addressbook_home_resource_id=%s", (text, md5, now, name, home))
    if cursor.rowcount == 0:
        transaction.execute(
            "INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, "
            "vcard_text, vcard_uid, kind, md5, created, modified) VALUES (%s, %s, %s, %s, %s, %s, "
            "%s, %s)", (home, name, text, uid, "0", md5, now, now))
    _note_change(transaction, home, name, "f", now)
    return now


def delete_card(transaction, home, name):
    """The store's DelCard."""
    now = now_text()
    transaction.execute("DELETE FROM addressbook_object WHERE addressbook_home_resource_id=%s "
                        "and resource_name=%s", (home, name))
    _note_change(transaction, home, name, "t", now)
