"""Radicale authentication by the pages' accounts, through the front's own sign-in check
(lumidex_signin_check), so that CardDAV sign-ins fail, slow down and are refused under the same
limits as the web API's. A verified password is remembered briefly (clients send it with every
request), never past a change of the accounts file."""
import hashlib
import logging
import os
import subprocess
import threading
import time

from radicale import auth

from . import context, db, storage

logger = logging.getLogger("lumidex.carddav")

ACCOUNTS = db.PACKAGE_DIR + "/etc/accounts"
CHECKER = db.PACKAGE_DIR + "/tool/lumidex_signin_check"
CACHE_SECONDS = 60
_SALT = os.urandom(16)


def _accounts_stamp():
    """What changes whenever an account is added, deleted or given a new password."""
    try:
        info = os.stat(db.rooted(ACCOUNTS))
    except OSError:
        return None
    return (info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


class Auth(auth.BaseAuth):
    def __init__(self, configuration):
        super().__init__(configuration)
        self._verified = {}  # (name, address, password digest) -> (accounts stamp, until)
        self._lock = threading.Lock()

    def login(self, login, password):
        address = context.address()
        stamp = _accounts_stamp()
        key = (login, address, hashlib.sha256(_SALT + password.encode("utf-8", "surrogatepass"))
               .digest())
        now = time.monotonic()
        with self._lock:
            known = self._verified.get(key)
            if known and known[0] == stamp and stamp is not None and known[1] > now:
                return login
            self._verified.pop(key, None)
        answer = self._check(login, password, address)
        if answer != 0:
            return ""
        if not db.provision(storage.pool(), login):
            logger.error("cannot set up the address book of %r", login)
            return ""
        with self._lock:
            # Expired entries go, so the table holds no more than the recent sign-ins.
            for old in [k for k, v in self._verified.items() if v[1] <= now]:
                del self._verified[old]
            if stamp is not None and stamp == _accounts_stamp():
                self._verified[key] = (stamp, now + CACHE_SECONDS)
        return login

    @staticmethod
    def _check(login, password, address):
        """0 signed in, else refused; a refusal for too many failures is noted for the reply."""
        # The check reads NUL-separated fields: a name or password holding NUL (never an
        # account's) becomes one that cannot match, and still counts as a failure.
        if "\0" in login:
            login = ""
        if "\0" in password:
            password = "\n"
        fields = b"".join(field.encode("utf-8", "surrogatepass") + b"\0"
                          for field in (login, password, address))
        try:
            done = subprocess.run([db.rooted(CHECKER)], input=fields, capture_output=True,
                                  timeout=60)
        except (OSError, subprocess.SubprocessError) as error:
            logger.error("cannot run the sign-in check: %s", error)
            return 3
        if done.returncode == 2:
            try:
                context.set_retry_after(max(1, int(done.stdout.decode().strip())))
            except ValueError:
                context.set_retry_after(60)
        elif done.returncode not in (0, 1):
            logger.error("sign-in check failed (%d): %s", done.returncode,
                         done.stderr.decode(errors="replace").strip())
        return done.returncode
