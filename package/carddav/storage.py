"""Radicale storage over the daemon's address-book tables. /USER/ is the user's home and
/USER/addressbook/ its one address book; cards are served as stored (text verbatim, etag from
the md5 column, nothing parsed to list, fetch or sync) and sync tokens are the home's revision
numbers. A client's PUT keeps the bytes it sent."""
import calendar
import contextlib
import datetime
import email.utils
import hashlib
import logging
import re

import vobject
from radicale import item as radicale_item
from radicale import pathutils, storage

from . import context, db

logger = logging.getLogger("lumidex.carddav")

BOOK = "addressbook"
BOOK_TITLE = "Contacts"
POOL_SIZE = 8
MAX_NAME = 255  # the varchar(255) of resource_name and vcard_uid
TOKEN = re.compile(r"^urn:lumidex:sync:(\d+):(\d+)$")
# A time range that holds everything: cards have none, and Radicale must not compute one.
WHOLE_TIME = (0, 2**62)

_pool = db.Pool(POOL_SIZE)


def pool():
    return _pool


def _transaction():
    transaction = context.transaction()
    if transaction is None:
        raise RuntimeError("storage used outside a request's lock")
    return transaction


def _http_date(moment):
    if moment is None:
        return email.utils.formatdate(0, usegmt=True)
    return email.utils.formatdate(calendar.timegm(moment.utctimetuple()), usegmt=True)


class _Plain(storage.BaseCollection):
    """The root and a user's principal: collections without cards or properties."""

    def __init__(self, path):
        self._path = path

    @property
    def path(self):
        return self._path

    @property
    def etag(self):
        return '"%s"' % hashlib.md5(self._path.encode()).hexdigest()

    @property
    def last_modified(self):
        return _http_date(None)

    def get_meta(self, key=None):
        return None if key else {}

    def set_meta(self, props):
        raise context.Refused(403, "properties are fixed")

    def get_multi(self, hrefs):
        return ((href, None) for href in hrefs)

    def get_all(self):
        return iter(())

    def has_uid(self, uid):
        return False

    def upload(self, href, item):
        raise context.Refused(403, "cards belong in the address book")

    def delete(self, href=None):
        raise context.Refused(403, "a home is not deleted over CardDAV")


class Book(storage.BaseCollection):
    """A user's one address book, in the home `home`."""

    _COLUMNS = "resource_name, vcard_text, vcard_uid, md5, modified"

    def __init__(self, user, home):
        self._path = "%s/%s" % (user, BOOK)
        self.home = home
        self._all = None  # the cards as read once in this request's snapshot

    @property
    def path(self):
        return self._path

    def get_meta(self, key=None):
        meta = {"tag": "VADDRESSBOOK", "D:displayname": BOOK_TITLE,
                "CR:addressbook-description": BOOK_TITLE}
        return meta.get(key) if key else meta

    def set_meta(self, props):
        # The schema keeps no properties: saying a change was stored would be a lie.
        raise context.Refused(403, "the address book's properties are fixed")

    @property
    def last_modified(self):
        row = _transaction().execute(
            "SELECT modified FROM addressbook_home_metadata WHERE resource_id=%s",
            (self.home,)).fetchone()
        return _http_date(row[0] if row else None)

    def _revision(self):
        row = _transaction().execute(
            "SELECT max(revision) FROM addressbook_object_revisions "
            "WHERE addressbook_home_resource_id=%s", (self.home,)).fetchone()
        return row[0] or 0

    @property
    def etag(self):
        return '"%d-%d"' % (self.home, self._revision())

    def _item(self, row):
        name, text, uid, md5, modified = row
        return radicale_item.Item(collection=self, href=name, last_modified=_http_date(modified),
                                  text=text, etag='"%s"' % md5.strip(), uid=uid, name="VCARD",
                                  component_name="VCARD", time_range=WHOLE_TIME)

    def _cards(self):
        if self._all is None:
            rows = _transaction().execute(
                "SELECT %s FROM addressbook_object WHERE addressbook_home_resource_id=%%s"
                % self._COLUMNS, (self.home,)).fetchall()
            self._all = {row[0]: row for row in rows}
        return self._all

    def get_all(self):
        return (self._item(row) for row in self._cards().values())

    def get_multi(self, hrefs):
        hrefs = list(dict.fromkeys(hrefs))
        if self._all is not None or len(hrefs) > 64:
            cards = self._cards()
            rows = {href: cards.get(href) for href in hrefs}
        else:
            found = _transaction().execute(
                "SELECT %s FROM addressbook_object WHERE addressbook_home_resource_id=%%s "
                "AND resource_name = ANY(%%s)" % self._COLUMNS, (self.home, hrefs)).fetchall()
            rows = {row[0]: row for row in found}
        return ((href, self._item(rows[href]) if rows.get(href) else None) for href in hrefs)

    def get_filtered(self, filters):
        for item in self.get_all():
            if filters:
                # A stored card the parser cannot read is still served as stored; only a
                # filter, which must read it, leaves it out.
                try:
                    item.vobject_item
                except Exception as error:
                    logger.warning("card %s of %s cannot be read, left out of the query: %s",
                                   item.href, self._path, error)
                    continue
            yield item, False

    def has_uid(self, uid):
        return _transaction().execute(
            "SELECT 1 FROM addressbook_object WHERE addressbook_home_resource_id=%s AND "
            "vcard_uid=%s", (self.home, uid)).fetchone() is not None

    def sync(self, old_token=""):
        revision = self._revision()
        token = "urn:lumidex:sync:%d:%d" % (self.home, revision)
        if not old_token:
            return token, list(self._cards())
        match = TOKEN.match(old_token)
        if not match:
            raise ValueError("not a sync token of this server: %r" % old_token)
        home, since = int(match.group(1)), int(match.group(2))
        if home != self.home:
            raise ValueError("sync token of another address book")
        if since > revision:
            raise ValueError("sync token from the future")
        rows = _transaction().execute(
            "SELECT DISTINCT resource_name FROM addressbook_object_revisions WHERE "
            "addressbook_home_resource_id=%s AND revision > %s AND resource_name <> ''",
            (self.home, since)).fetchall()
        return token, [row[0] for row in rows]

    def _locked(self):
        transaction = _transaction()
        if transaction.locked_home != self.home:
            raise RuntimeError("writing a home whose row is not locked")
        return transaction

    def upload(self, href, item):
        text, uid = _checked_card(href)
        transaction = self._locked()
        md5 = hashlib.md5(text.encode("utf-8")).hexdigest()
        modified = db.store_card(transaction, self.home, href, text, uid, md5)
        self._all = None
        moment = datetime.datetime.strptime(modified, "%Y-%m-%d %H:%M:%S")
        return radicale_item.Item(collection=self, href=href, text=text, etag='"%s"' % md5,
                                  uid=uid, name="VCARD", component_name="VCARD",
                                  time_range=WHOLE_TIME, last_modified=_http_date(moment))

    def delete(self, href=None):
        if href is None:
            raise context.Refused(403, "the address book cannot be deleted")
        db.delete_card(self._locked(), self.home, href)
        self._all = None


def _checked_card(href):
    """The text the client sent and its UID, once it is one well-formed card with a UID that
    fits the table; ValueError (400) otherwise."""
    raw = context.body()
    if raw is None:
        raise ValueError("no request body")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError("card is not UTF-8") from error
    if "\0" in text:
        raise ValueError("card holds a NUL character")
    if len(href) > MAX_NAME:
        raise ValueError("resource name over %d characters" % MAX_NAME)
    try:
        cards = list(vobject.readComponents(text))
    except Exception as error:
        raise ValueError("not a vCard: %s" % error) from error
    if len(cards) != 1 or cards[0].name != "VCARD":
        raise ValueError("body is not one vCard")
    uid = cards[0].uid.value if "uid" in cards[0].contents else ""
    if not isinstance(uid, str) or not uid.strip():
        raise ValueError("card without UID")
    if len(uid) > MAX_NAME:
        raise ValueError("UID over %d characters" % MAX_NAME)
    return text, uid


class Storage(storage.BaseStorage):
    def discover(self, path, depth="0"):
        transaction = _transaction()
        parts = [part for part in pathutils.strip_path(path).split("/") if part]
        if not parts:
            yield _Plain("")
            if depth != "0" and transaction.user and transaction.home_of(transaction.user):
                yield _Plain(transaction.user)
            return
        user = parts[0]
        home = transaction.home_of(user)
        if home is None:
            return
        if len(parts) == 1:
            yield _Plain(user)
            if depth != "0":
                yield Book(user, home)
            return
        if parts[1] != BOOK:
            return
        book = Book(user, home)
        if len(parts) == 2:
            yield book
            if depth != "0":
                yield from book.get_all()
        elif len(parts) == 3:
            for _, item in book.get_multi([parts[2]]):
                if item:
                    yield item

    def move(self, item, to_collection, to_href):
        raise context.Refused(403, "cards are not moved over CardDAV")

    def create_collection(self, href, items=None, props=None):
        raise context.Refused(403, "each account has its one address book")

    def verify(self):
        return True

    @contextlib.contextmanager
    def acquire_lock(self, mode, user=""):
        connection = _pool.take()
        transaction = None
        committed = False
        try:
            transaction = db.Transaction(connection, mode)
            transaction.user = user
            if mode == "w" and user:
                transaction.locked_home = transaction.home_of(user, lock=True)
            context.set_transaction(transaction)
            yield
            transaction.finish(True)
            committed = True
        finally:
            context.set_transaction(None)
            if transaction is not None and not committed and not connection.closed:
                try:
                    transaction.finish(False)
                except Exception:
                    connection.close()
            _pool.give_back(connection)
