#!/usr/bin/python3
# The jobs of the contacts API timed through lighttpd, each beside its floor measured in the same
# run (what the job cannot go below on this machine) and the ratio: listing 10,000 cards, its
# peak memory, export-all of those cards, import of 1,000 cards and an empty listing.
# Runs against a PostgreSQL server of its own with fsync on, as `make run` keeps it: the import's
# commits wait for the log flush there. Run by scripts/bench.sh (LUMIDEX_BUILD_DIR set).
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "browser"))
import harness  # noqa: E402
from pages_bench import CARD_SQL  # noqa: E402  (the card of the pages and listing benchmarks)

ROUNDS = int(os.environ.get("HTTP_JOBS_ROUNDS", "5"))  # 0: the import alone
IMPORT_CARDS = 1000
IMPORTS = 3  # each into a book of its own, each beside a floor taken just before it

def import_file():
    cards = []
    for i in range(IMPORT_CARDS):
        cards.append(
            "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Family%d;Given%d;;;\r\nFN:Given%d Family%d\r\n"
            "ORG:Company %d;\r\nitem1.EMAIL;type=INTERNET;type=pref:given%d@example.com\r\n"
            "item1.X-ABLabel:_$!<Work>!$_\r\nTEL;type=CELL:+1 555 %07d\r\n"
            "NOTE:Imported %d\r\nUID:import-%d\r\nEND:VCARD\r\n" % (i, i, i, i, i % 97, i, i, i, i))
    return "".join(cards).encode()


class StaticServer:
    """A lighttpd of its own sending plain files: the floor's 'static file of the reply's size'."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="lumidex-static-")
        self.port = harness.free_port()
        conf = os.path.join(self.dir, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write('server.port = %d\nserver.bind = "127.0.0.1"\nserver.document-root = "%s"\n'
                    'mimetype.assign = (".json" => "application/json", ".vcf" => "text/x-vcard")\n'
                    'server.errorlog = "%s/error.log"\n' % (self.port, self.dir, self.dir))
        lighttpd = harness.find_program("/usr/sbin/lighttpd", "/usr/bin/lighttpd")
        self.process = subprocess.Popen([lighttpd, "-D", "-f", conf])
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                get(self.port, "/")
                return
            except OSError:
                time.sleep(0.05)

    def file_of(self, name, size):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(b"x" * size)
        return "/" + name

    def close(self):
        self.process.terminate()
        self.process.wait()
        subprocess.run(["rm", "-rf", self.dir])


def get(port, path, headers=None, method="GET", body=None):
    """Seconds for one request on a new connection, with the reply's status and body."""
    start = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    connection.request(method, path, body=body, headers=headers or {})
    reply = connection.getresponse()
    data = reply.read()
    connection.close()
    return time.perf_counter() - start, reply.status, data


def run_seconds(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def time_import(server, user, cookie, client):
    """Seconds for importing one file of IMPORT_CARDS cards through lighttpd (version 2's report)."""
    boundary = "benchboundary7MA4YWxk"
    body = (("--%s\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\n%s\r\n"
             "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"c.vcf\"\r\n"
             "Content-Type: text/vcard\r\n\r\n" % (boundary, user, boundary)).encode()
            + import_file() + ("\r\n--%s--\r\n" % boundary).encode())
    seconds, status, reply = get(server.port, "/webapi/entry.cgi?" + urllib.parse.urlencode(
        {"api": harness.CONTACTS_API, "version": "2", "method": "import_cards"}), {
        "Cookie": cookie, "X-CSRF-Token": client.csrf,
        "Content-Type": "multipart/form-data; boundary=" + boundary}, "POST", body)
    if status != 200 or b'"stored":%d' % IMPORT_CARDS not in reply:
        raise RuntimeError("import failed: %s" % reply[:300])
    return seconds


def row(name, seconds, floor, target, detail):
    print("%-34s %9.1f ms   floor %8.1f ms (%s)   ratio %5.2fx   target <= %.2fx" % (
        name, seconds * 1e3, floor * 1e3, detail, seconds / floor, target), flush=True)


def durable_database():
    """Starts a PostgreSQL server with fsync on; returns its folder (PGHOST is set to it)."""
    folder = tempfile.mkdtemp(prefix="lumidex-bench-durable-pg-")
    os.chmod(folder, 0o755)
    host = subprocess.run(["bash", os.path.join(harness.SOURCE_DIR, "scripts", "pg.sh"), "start",
                           folder, "durable"], check=True, capture_output=True, text=True).stdout
    os.environ["PGHOST"] = host.strip()
    return folder


def main():
    database = durable_database()
    try:
        measure()
    finally:
        subprocess.run(["bash", os.path.join(harness.SOURCE_DIR, "scripts", "pg.sh"), "stop", database])
        subprocess.run(["rm", "-rf", database])


def measure():
    build = harness.build_dir()
    floor_program = os.environ.get("LUMIDEX_FLOOR_PROGRAM", os.path.join(build, "bench", "floor_program"))
    peak_probe = os.environ.get("LUMIDEX_PEAK_PROBE", os.path.join(build, "bench", "peak_rss"))
    server = harness.Server()
    static = StaticServer()
    try:
        users = {"bench10k": 10000, "empty": 0}
        users.update({"importer%d" % i: 0 for i in range(IMPORTS)})
        cookies, clients, homes = {}, {}, {}
        for name, count in users.items():
            password = "bench-" + name
            server.add_account(name, password)
            client = harness.Client(server)
            client.login(name, password)
            client.api("list_cards", {"user": name})  # makes the address book
            if count:
                server.store_cards(name, count, CARD_SQL)
            clients[name] = client
            cookies[name] = "; ".join("%s=%s" % (c.name, c.value) for c in client.jar)
            homes[name] = server.sql("SELECT resource_id FROM addressbook_home WHERE owner_uid='%s';"
                                     % server.guid(name)).strip()
        server.sql("VACUUM ANALYZE addressbook_object;")

        def api_path(method, user):
            return "/webapi/entry.cgi?" + urllib.parse.urlencode(
                {"api": harness.CONTACTS_API, "version": "1", "method": method, "user": user})

        def api_get(method, user):
            seconds, status, data = get(server.port, api_path(method, user), {
                "Cookie": cookies[user], "Accept-Encoding": "identity"})
            if status != 200:
                raise RuntimeError("%s for %s: HTTP %d %s" % (method, user, status, data[:200]))
            return seconds, data

        listing_sql = ("SELECT resource_id, resource_name, vcard_text, md5 FROM addressbook_object "
                       "WHERE addressbook_home_resource_id=%s")
        export_sql = ("SELECT vcard_text, sum(octet_length(vcard_text) + 1) OVER () AS total FROM "
                      "addressbook_object WHERE addressbook_home_resource_id=%s")

        # Replies first, so that the static files have their sizes and the jobs are checked.
        _, listing = api_get("list_cards", "bench10k")
        if listing.count(b'"resource_id"') != 10000:
            raise RuntimeError("the listing does not hold 10,000 cards")
        _, download = api_get("export_all_cards", "bench10k")
        if download.count(b"END:VCARD") != 10000:
            raise RuntimeError("the download does not hold 10,000 cards")
        _, empty = api_get("list_cards", "empty")
        listing_file = static.file_of("listing.json", len(listing))
        download_file = static.file_of("download.vcf", len(download))
        empty_file = static.file_of("empty.json", len(empty))

        times = {}

        def note(key, seconds):
            times.setdefault(key, []).append(seconds)

        plain = {"Accept-Encoding": "identity"}
        for _ in range(ROUNDS):
            note("list", api_get("list_cards", "bench10k")[0])
            note("list rows", run_seconds([floor_program, "rows", listing_sql % homes["bench10k"]]))
            note("list static", get(static.port, listing_file, plain)[0])
            note("export", api_get("export_all_cards", "bench10k")[0])
            note("export rows", run_seconds([floor_program, "rows", export_sql % homes["bench10k"]]))
            note("export static", get(static.port, download_file, plain)[0])
            for _ in range(4):
                note("empty", api_get("list_cards", "empty")[0])
                note("empty rows", run_seconds([floor_program, "rows", listing_sql % homes["empty"]]))
                note("empty static", get(static.port, empty_file, plain)[0])

        # Peak memory of the front answering the listing as lighttpd runs it, for a browser (which
        # takes it compressed by the front).
        env = dict(os.environ, REQUEST_METHOD="GET", HTTP_ACCEPT_ENCODING="gzip, deflate, br", QUERY_STRING=api_path("list_cards", "bench10k").split("?", 1)[1],
                   HTTP_COOKIE=cookies["bench10k"], REMOTE_ADDR="127.0.0.1", HTTP_HOST="127.0.0.1",
                   LUMIDEX_ROOT=server.root, GATEWAY_INTERFACE="CGI/1.1")
        peaks = []
        with tempfile.NamedTemporaryFile() as out:
            for _ in range(3 if ROUNDS else 0):
                subprocess.run([peak_probe, out.name, os.path.join(build, "platform", "entry.cgi")],
                               env=env, check=True)
                with open(out.name) as f:
                    peaks.append(int(f.read()) / 1024)

        # Import: one file of 1,000 cards; the floor is 3 helper starts and 5 round trips a card.
        helper = os.path.join(server.root, "var/packages/Lumidex/target/tools/orva_db_helper.py")
        for i in range(IMPORTS):
            starts = float(subprocess.run([floor_program, "starts", "300", helper, "--getUUID"],
                                          check=True, capture_output=True, text=True).stdout) / 300
            trips = float(subprocess.run([floor_program, "round-trips", "3000"], check=True,
                                         capture_output=True, text=True).stdout) / 3000
            note("import floor", IMPORT_CARDS * (3 * starts + 5 * trips))
            note("import starts", starts)
            note("import trips", trips)
            user = "importer%d" % i
            note("import", time_import(server, user, cookies[user], clients[user]))

        med = {key: statistics.median(values) for key, values in times.items()}
        print("Each job through lighttpd beside its floor from the same run (medians of %d rounds):"
              % ROUNDS)
        import_row = lambda: row(
            "import %d cards (median of %d)" % (IMPORT_CARDS, IMPORTS), med["import"], med["import floor"],
            1.25, "3 helper starts of %.2f ms + 5 round trips of %.3f ms per card" % (
                med["import starts"] * 1e3, med["import trips"] * 1e3))
        if not ROUNDS:
            import_row()
            return
        row("list 10,000 cards (%.1f MB)" % (len(listing) / 1e6), med["list"],
            med["list rows"] + med["list static"], 2.5,
            "C reads the rows %.1f + static file %.1f" % (med["list rows"] * 1e3, med["list static"] * 1e3))
        print("%-34s %9.1f MiB  (max of 3; the rows themselves are %.1f MB)   target <= 32 MiB" % (
            "peak memory of that listing", max(peaks), int(subprocess.run(
                [floor_program, "rows", listing_sql % homes["bench10k"]], check=True,
                capture_output=True, text=True).stdout) / 1e6))
        row("export-all 10,000 cards (%.1f MB)" % (len(download) / 1e6), med["export"],
            med["export rows"] + med["export static"], 1.5,
            "C reads the rows %.1f + static file %.1f" % (med["export rows"] * 1e3, med["export static"] * 1e3))
        import_row()
        row("empty listing, cookie", med["empty"], med["empty rows"] + med["empty static"], 1.5,
            "C connects and queries %.1f + static reply %.1f" % (med["empty rows"] * 1e3, med["empty static"] * 1e3))
    finally:
        static.close()
        server.close()


if __name__ == "__main__":
    main()
