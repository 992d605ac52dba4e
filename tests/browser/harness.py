# A whole server for browser tests and the pages benchmark: a package tree laid out from a
# build, lighttpd from the package's own configuration template on a free loopback port, and
# headless Chromium driven through chromedriver. Needs PGHOST (the run's PostgreSQL server).
import base64
import http.cookiejar
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

SOURCE_DIR = os.environ.get(
    "LUMIDEX_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
CONTACTS_API = "ORVA.ContactAndCalendar.Contacts"


def build_dir():
    path = os.environ.get("LUMIDEX_BUILD_DIR")
    if not path:
        raise RuntimeError("LUMIDEX_BUILD_DIR must name the build folder")
    return path


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def find_program(*candidates):
    for path in candidates:
        if os.access(path, os.X_OK):
            return path
    found = shutil.which(os.path.basename(candidates[0]))
    if not found:
        raise RuntimeError("none of %s found" % ", ".join(candidates))
    return found


def psql_path():
    for name in sorted(os.listdir("/usr/lib/postgresql"), reverse=True):
        path = "/usr/lib/postgresql/%s/bin/psql" % name
        if os.access(path, os.X_OK):
            return path
    return find_program("/usr/bin/psql")


class Server:
    """lighttpd serving the pages at / and the web API, over a package tree of its own."""

    def __init__(self):
        self.build = build_dir()
        self.dir = tempfile.mkdtemp(prefix="lumidex-pages-")
        self.root = os.path.join(self.dir, "root")
        self.state = os.path.join(self.dir, "web")
        self.process = None
        self.port = 0
        if not os.environ.get("PGHOST"):
            raise RuntimeError("PGHOST must name the PostgreSQL server")
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "scripts", "layout.sh"), self.root,
                        self.build], check=True, stdout=subprocess.DEVNULL)
        os.makedirs(os.path.join(self.state, "htdocs"), exist_ok=True)
        os.makedirs(os.path.join(self.state, "upload"), exist_ok=True)
        for _ in range(5):
            if self._start_once():
                return
        raise RuntimeError("lighttpd did not start:\n" + self.log())

    def _config(self, port):
        with open(os.path.join(SOURCE_DIR, "package", "lighttpd", "lighttpd.conf.in")) as f:
            conf = f.read()
        fields = {
            "@PORT@": str(port),
            "@STATE_DIR@": self.state,
            "@ENTRY_CGI@": os.path.join(self.build, "platform", "entry.cgi"),
            "@AUTH_CGI@": os.path.join(self.build, "platform", "auth.cgi"),
            "@LUMIDEX_ROOT@": self.root,
            "@PGHOST@": os.environ["PGHOST"],
            "@BUILD_DIR@": self.build,
            "@SOURCE_DIR@": SOURCE_DIR,
        }
        for field, value in fields.items():
            conf = conf.replace(field, value)
        # lighttpd gives a CGI a clean environment; the sanitizer settings of the run follow.
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if os.environ.get(name):
                conf += 'setenv.set-environment += ("%s" => "%s")\n' % (name, os.environ[name])
        return conf

    def _start_once(self):
        port = free_port()
        conf_path = os.path.join(self.state, "lighttpd.conf")
        with open(conf_path, "w") as f:
            f.write(self._config(port))
        lighttpd = find_program("/usr/sbin/lighttpd", "/usr/bin/lighttpd")
        out = open(os.path.join(self.state, "server.out"), "ab")
        self.process = subprocess.Popen([lighttpd, "-D", "-f", conf_path], stdout=out,
                                        stderr=subprocess.STDOUT)
        out.close()
        deadline = time.time() + 10
        while time.time() < deadline and self.process.poll() is None:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    self.port = port
                    return True
            except OSError:
                time.sleep(0.05)
        self.stop_lighttpd()
        return False

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def log(self):
        text = ""
        for name in ("server.out", "error.log"):
            try:
                with open(os.path.join(self.state, name), errors="replace") as f:
                    text += f.read()
            except OSError:
                pass
        return text

    def stop_lighttpd(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def close(self):
        self.stop_lighttpd()
        # A settings change may have started the daemon's stand-in; it goes with the server.
        daemon = os.path.join(self.root, "var/packages/Lumidex/target/tools/calendarserver_start_stop.sh")
        if os.path.exists(daemon):
            subprocess.run(["sh", daemon, "stop"], env=dict(os.environ, LUMIDEX_ROOT=self.root),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)

    # ---- Accounts and data ----

    def add_account(self, name, password, command="add"):
        """Adds an account, or with command "passwd" gives it a new password (which ends its
        sessions)."""
        tool = os.path.join(self.build, "platform", "lumidex_account")
        result = subprocess.run([tool, command, name], input=password + "\n", text=True,
                                capture_output=True, env=dict(os.environ, LUMIDEX_ROOT=self.root))
        if result.returncode != 0:
            raise RuntimeError("lumidex_account %s %s failed: %s%s" % (command, name, result.stdout,
                                                                       result.stderr))

    def guid(self, user):
        db = os.path.join(self.root, "var/packages/Lumidex/target/var/db/ShortNameGUIDMapping.db")
        with sqlite3.connect(db) as conn:
            row = conn.execute("SELECT GUID FROM mapping WHERE short_name = ?", (user,)).fetchone()
        return row[0] if row else ""

    def sql(self, statement):
        """Runs SQL on the daemon's database; returns psql's unaligned output."""
        result = subprocess.run([psql_path(), "-h", os.environ["PGHOST"], "-U", "postgres", "-d",
                                 "caldav", "-qAt", "-v", "ON_ERROR_STOP=1"],
                                input=statement, text=True, capture_output=True)
        if result.returncode != 0:
            raise RuntimeError("psql failed: " + result.stderr)
        return result.stdout

    def store_cards(self, user, count, card_text):
        """Stores `count` cards in the (provisioned) address book of `user` in one statement.
        `card_text` is SQL giving the text of card i (an integer column named i)."""
        guid = self.guid(user)
        if not guid:
            raise RuntimeError("%s has no address book yet" % user)
        self.sql(
            "INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, "
            "vcard_text, vcard_uid, kind, md5) SELECT h.resource_id, 'gen-' || i || '.vcf', %s, "
            "'gen-uid-' || i, 0, md5('x' || i) FROM addressbook_home h, generate_series(1, %d) i "
            "WHERE h.owner_uid = '%s';" % (card_text, count, guid.replace("'", "''")))

    def card_texts(self, user):
        """The stored vCard texts of `user`, oldest first."""
        guid = self.guid(user).replace("'", "''")
        # Base64 without line breaks: one card per output line, whatever the text holds.
        out = self.sql(
            "SELECT translate(encode(convert_to(o.vcard_text, 'UTF8'), 'base64'), E'\\n', '') "
            "FROM addressbook_object o JOIN addressbook_home h ON "
            "h.resource_id = o.addressbook_home_resource_id WHERE h.owner_uid = '%s' "
            "ORDER BY o.resource_id;" % guid)
        return [base64.b64decode(line).decode("utf-8") for line in out.splitlines() if line]


class Client:
    """An HTTP client with its own cookie jar, for API calls beside the browser."""

    def __init__(self, server):
        self.server = server
        self.jar = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(self.jar))
        self.csrf = ""

    def request(self, path, fields=None, headers=None):
        data = urllib.parse.urlencode(fields or {}).encode()
        req = urllib.request.Request(self.server.url + path, data=data, headers=headers or {})
        try:
            with self.opener.open(req, timeout=120) as reply:
                return reply.status, reply.headers, reply.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def login(self, user, password):
        status, _, body = self.request("/webapi/auth.cgi", {"action": "login", "username": user,
                                                            "password": password})
        reply = json.loads(body)
        if not reply.get("success"):
            raise RuntimeError("sign-in of %s failed: %s" % (user, body))
        self.csrf = reply["data"]["csrf"]
        return reply["data"]

    def api(self, method, fields, api=CONTACTS_API, version=1):
        path = "/webapi/entry.cgi?" + urllib.parse.urlencode(
            {"api": api, "version": str(version), "method": method})
        headers = {"X-CSRF-Token": self.csrf} if self.csrf else {}
        status, _, body = self.request(path, fields, headers)
        return status, json.loads(body)

    def import_file(self, user, path):
        """Imports a .vcf file as the pages do (multipart, version 2); returns the reply."""
        boundary = "lumidex-" + os.urandom(8).hex()
        with open(path, "rb") as f:
            data = f.read()
        body = ("--%s\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\n%s\r\n"
                "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"%s\"\r\n"
                "Content-Type: text/vcard\r\n\r\n" % (boundary, user, boundary, os.path.basename(path))
                ).encode() + data + ("\r\n--%s--\r\n" % boundary).encode()
        path = "/webapi/entry.cgi?" + urllib.parse.urlencode(
            {"api": CONTACTS_API, "version": "2", "method": "import_cards"})
        req = urllib.request.Request(self.server.url + path, data=body, headers={
            "Content-Type": "multipart/form-data; boundary=" + boundary, "X-CSRF-Token": self.csrf})
        with self.opener.open(req, timeout=120) as reply:
            return json.loads(reply.read())


def start_browser(download_dir=None, width=1280, height=900):
    """Headless Chromium with a new empty profile; downloads go to `download_dir`."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tempfile.mkdtemp(prefix="lumidex-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=%d,%d" % (width, height)):
        options.add_argument(argument)
    if download_dir:
        options.add_experimental_option("prefs", {
            "download.default_directory": download_dir,
            "download.prompt_for_download": False,
        })
    service = Service(executable_path=CHROMEDRIVER, log_path=os.devnull)
    try:
        driver = webdriver.Chrome(service=service, options=options)
    except Exception:
        shutil.rmtree(profile, ignore_errors=True)
        raise
    driver.lumidex_profile = profile
    if download_dir:
        driver.execute_cdp_cmd("Page.setDownloadBehavior",
                               {"behavior": "allow", "downloadPath": download_dir})
    return driver


def stop_browser(driver):
    profile = getattr(driver, "lumidex_profile", None)
    try:
        driver.quit()
    finally:
        if profile:
            shutil.rmtree(profile, ignore_errors=True)
