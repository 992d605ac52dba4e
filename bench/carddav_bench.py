#!/usr/bin/python3
# The CardDAV daemon over 10,000 cards, beside floors taken in the same run: PROPFIND depth 1 and
# a full sync-collection against reading the same rows in C (psql) plus lighttpd sending a static
# file of the reply's size; an incremental sync with nothing changed against an empty listing of
# the web API. Prints figure, floor and ratio for each. Needs PGHOST and a build (harness.py).
import base64
import http.client
import os
import plistlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "browser"))
import harness  # noqa: E402

CARDS = 10000
ROUNDS = 5
PASSWORD = "bench-secret-1"
PACKAGE = "var/packages/Lumidex/target"


def timed(action):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def request(port, method, path, body=None, headers=None, auth=True):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
    headers = dict(headers or {})
    if auth:
        headers["Authorization"] = "Basic " + base64.b64encode(
            ("bench:" + PASSWORD).encode()).decode()
    connection.request(method, path, body=body, headers=headers)
    reply = connection.getresponse()
    data = reply.read()
    connection.close()
    assert reply.status in (200, 207), (reply.status, data[:300])
    return data


def report(what, figure, floor, target):
    ratio = figure / floor
    print("%-44s %8.1f ms  floor %8.1f ms  ratio %5.2f  (target <= %g: %s)"
          % (what, figure * 1000, floor * 1000, ratio, target,
             "met" if ratio <= target else "NOT met"))


def main():
    server = harness.Server()
    static_dir = tempfile.mkdtemp(prefix="lumidex-static-")
    lighttpd = None
    root = server.root
    env = dict(os.environ, LUMIDEX_ROOT=root)
    tool = os.path.join(root, PACKAGE, "tools", "calendarserver_start_stop.sh")
    try:
        server.add_account("bench", PASSWORD)
        server.add_account("empty", PASSWORD)
        port = harness.free_port()
        with open(os.path.join(root, PACKAGE, "etc", "orva_caldavd.plist"), "wb") as out:
            plistlib.dump({"HTTPPort": port, "SSLPort": harness.free_port(), "EnableSSL": False,
                           "RedirectHTTPToHTTPS": False}, out)
        subprocess.run(["sh", tool, "start"], env=env, check=True, stdout=subprocess.DEVNULL)
        book = "/bench/addressbook/"
        request(port, "PROPFIND", book, headers={"Depth": "0"})  # signs in, makes the home
        server.store_cards("bench", CARDS,
                           "'BEGIN:VCARD' || E'\\r\\n' || 'VERSION:3.0' || E'\\r\\n' || "
                           "'UID:gen-uid-' || i || E'\\r\\n' || 'FN:Person ' || i || E'\\r\\n' || "
                           "'N:Person;' || i || ';;;' || E'\\r\\n' || 'TEL;TYPE=CELL:+1 555 ' || i "
                           "|| E'\\r\\n' || 'EMAIL:p' || i || '@example.org' || E'\\r\\n' || "
                           "'END:VCARD' || E'\\r\\n'")
        home = server.sql("SELECT resource_id FROM addressbook_home WHERE owner_uid='%s';"
                          % server.guid("bench")).strip()

        propfind = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:prop><d:getetag/>'
                    '<d:getcontenttype/><d:resourcetype/></d:prop></d:propfind>').encode()
        full = ('<?xml version="1.0"?><d:sync-collection xmlns:d="DAV:"><d:sync-token/>'
                '<d:sync-level>1</d:sync-level><d:prop><d:getetag/></d:prop>'
                '</d:sync-collection>').encode()
        listing = request(port, "PROPFIND", book, propfind, {"Depth": "1"})
        synced = request(port, "REPORT", book, full, {"Depth": "1"})
        assert listing.count(b"<response>") == CARDS + 1
        token = synced.split(b"<sync-token>")[1].split(b"</sync-token>")[0].decode()
        incremental = ('<?xml version="1.0"?><d:sync-collection xmlns:d="DAV:"><d:sync-token>%s'
                       '</d:sync-token><d:sync-level>1</d:sync-level><d:prop><d:getetag/>'
                       '</d:prop></d:sync-collection>' % token).encode()
        assert b"<response>" not in request(port, "REPORT", book, incremental, {"Depth": "1"})

        # Floors: the rows read by a C client, and a static file of each reply's size sent by
        # lighttpd (C) over the same loopback.
        psql = harness.psql_path()
        read_rows = [psql, "-h", os.environ["PGHOST"], "-U", "postgres", "-d", "caldav", "-qAt",
                     "-o", "/dev/null", "-c",
                     "SELECT resource_name, vcard_text, vcard_uid, md5, modified FROM "
                     "addressbook_object WHERE addressbook_home_resource_id=%s" % home]
        rows_time = timed(lambda: subprocess.run(read_rows, check=True))
        for name, size in (("propfind", len(listing)), ("sync", len(synced))):
            with open(os.path.join(static_dir, name), "wb") as out:
                out.write(b"x" * size)
        static_port = harness.free_port()
        conf = os.path.join(static_dir, "lighttpd.conf")
        with open(conf, "w") as out:
            out.write('server.document-root = "%s"\nserver.port = %d\nserver.bind = "127.0.0.1"\n'
                      % (static_dir, static_port))
        lighttpd = subprocess.Popen([harness.find_program("/usr/sbin/lighttpd"), "-D", "-f",
                                     conf])
        for _ in range(100):
            try:
                request(static_port, "GET", "/propfind", auth=False)
                break
            except OSError:
                time.sleep(0.05)

        def static(name):
            return timed(lambda: request(static_port, "GET", "/" + name, auth=False))

        client = harness.Client(server)
        client.login("empty", PASSWORD)
        assert client.api("list_cards", {"user": "empty"})[1]["data"]["cards"] == []

        report("PROPFIND depth 1, %d cards" % CARDS,
               timed(lambda: request(port, "PROPFIND", book, propfind, {"Depth": "1"})),
               rows_time + static("propfind"), 3)
        report("sync-collection, full, %d cards" % CARDS,
               timed(lambda: request(port, "REPORT", book, full, {"Depth": "1"})),
               rows_time + static("sync"), 3)
        report("sync-collection, nothing changed",
               timed(lambda: request(port, "REPORT", book, incremental, {"Depth": "1"})),
               timed(lambda: client.api("list_cards", {"user": "empty"})), 2)
    finally:
        if lighttpd:
            lighttpd.terminate()
            lighttpd.wait()
        subprocess.run(["sh", tool, "stop"], env=env, stdout=subprocess.DEVNULL)
        server.close()
        shutil.rmtree(static_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
