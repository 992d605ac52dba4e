#!/usr/bin/python3
# The CardDAV daemon against real clients (raw WebDAV over http.client, python3-caldav,
# vdirsyncer) beside the web API on one package tree and one database: sign-in and its limits,
# discovery, sync-collection driven by the revision rows, the client's bytes, the refusals, the
# row shapes a PUT leaves, and the ports after a settings change. Needs PGHOST.
import base64
import concurrent.futures
import hashlib
import http.client
import json
import os
import plistlib
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browser"))
import harness  # noqa: E402

PACKAGE = "var/packages/Lumidex/target"
PASSWORDS = {"admin": "admin-secret-1", "alice": "alice-secret-1", "bob": "bob-secret-1",
             "carol": "carol-secret-1", "dave": "dave-secret-1", "erin": "erin-secret-1"}
SERVER = None
WEB = None  # the web API, signed in as admin
PORTS = {}
D = "{DAV:}"


def card(uid, name, extra=""):
    return ("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%s\r\nFN:%s\r\nN:%s;;;;\r\n%sEND:VCARD\r\n"
            % (uid, name, name, extra))


def daemon(command):
    tool = os.path.join(SERVER.root, PACKAGE, "tools", "calendarserver_start_stop.sh")
    return subprocess.run(["sh", tool, command], env=dict(os.environ, LUMIDEX_ROOT=SERVER.root),
                          capture_output=True, text=True)


def write_plist(http_port, ssl_port, enable_ssl, redirect):
    with open(os.path.join(SERVER.root, PACKAGE, "etc", "orva_caldavd.plist"), "wb") as out:
        plistlib.dump({"HTTPPort": http_port, "SSLPort": ssl_port, "EnableSSL": enable_ssl,
                       "RedirectHTTPToHTTPS": redirect}, out)
    PORTS.update(http=http_port, https=ssl_port)


def setUpModule():
    global SERVER, WEB
    SERVER = harness.Server()
    for name, password in PASSWORDS.items():
        SERVER.add_account(name, password)
    WEB = harness.Client(SERVER)
    WEB.login("admin", PASSWORDS["admin"])
    write_plist(harness.free_port(), harness.free_port(), True, False)
    started = daemon("start")
    if started.returncode != 0:
        raise RuntimeError("daemon did not start: %s%s" % (started.stdout, started.stderr))


def tearDownModule():
    if SERVER:
        daemon("stop")
        SERVER.close()


def dav(method, path, body=None, headers=None, user="alice", password=None, source=None,
        https=False, port=None):
    """(status, headers, body) of one request; `source` is the client's loopback address."""
    if isinstance(body, str):
        body = body.encode()
    headers = dict(headers or {})
    if user is not None:
        secret = PASSWORDS.get(user, "") if password is None else password
        headers["Authorization"] = "Basic " + base64.b64encode(
            ("%s:%s" % (user, secret)).encode()).decode()
    address = (source, 0) if source else None
    if https:
        connection = http.client.HTTPSConnection(
            "127.0.0.1", port or PORTS["https"], timeout=60, source_address=address,
            context=ssl._create_unverified_context())
    else:
        connection = http.client.HTTPConnection("127.0.0.1", port or PORTS["http"], timeout=60,
                                                source_address=address)
    try:
        connection.request(method, path, body=body, headers=headers)
        reply = connection.getresponse()
        return reply.status, dict(reply.getheaders()), reply.read()
    finally:
        connection.close()


def book(user):
    return "/%s/addressbook/" % user


def sync(user, token=""):
    """(new token, {href: etag or None for 404}) from a sync-collection REPORT."""
    body = ('<?xml version="1.0"?><d:sync-collection xmlns:d="DAV:"><d:sync-token>%s'
            '</d:sync-token><d:sync-level>1</d:sync-level><d:prop><d:getetag/></d:prop>'
            '</d:sync-collection>' % token)
    status, _, data = dav("REPORT", book(user), body, {"Content-Type": "application/xml"}, user)
    if status != 207:
        return status, data
    root = ET.fromstring(data)
    changes = {}
    for response in root.findall(D + "response"):
        href = response.find(D + "href").text.rsplit("/", 1)[1]
        if response.find(D + "status") is not None:
            changes[href] = None
        else:
            changes[href] = response.find(".//" + D + "getetag").text.strip('"')
    return root.find(D + "sync-token").text, changes


def listed(user):
    status, reply = WEB.api("list_cards", {"user": user})
    assert reply.get("success"), reply
    return {c["id"]: c for c in reply["data"]["cards"]}


def api_add(user, family):
    status, reply = WEB.api("add_card", {"user": user, "card": json.dumps({
        "name": {"family_name": family, "given_name": "", "additional_name": ""},
        "company": {"org": "", "title": ""}, "tel": [], "mail": [], "note": ""})})
    assert reply.get("success"), reply
    [name] = [n for n, c in listed(user).items() if c["name"]["family_name"] == family]
    return name


def api_edit(user, name, note):
    record = listed(user)[name]
    record["resource_name"] = name
    record["note"] = note
    status, reply = WEB.api("edit_card", {"user": user, "card": json.dumps(record)})
    assert reply.get("success"), reply


def api_delete(user, names):
    status, reply = WEB.api("delete_cards", {"user": user, "id": json.dumps(names)})
    assert reply.get("success"), reply


def api_import(user, text):
    boundary = "lumidexboundary"
    body = ("--%s\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\n%s\r\n"
            "--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"c.vcf\"\r\n"
            "Content-Type: text/vcard\r\n\r\n%s\r\n--%s--\r\n"
            % (boundary, user, boundary, text, boundary)).encode()
    connection = http.client.HTTPConnection("127.0.0.1", SERVER.port, timeout=120)
    auth = base64.b64encode(("admin:" + PASSWORDS["admin"]).encode()).decode()
    connection.request("POST", "/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Contacts&version=1"
                       "&method=import_cards", body=body,
                       headers={"Content-Type": "multipart/form-data; boundary=" + boundary,
                                "Authorization": "Basic " + auth})
    reply = json.loads(connection.getresponse().read())
    connection.close()
    assert reply.get("success"), reply


def home_of(user):
    return SERVER.sql("SELECT resource_id FROM addressbook_home WHERE owner_uid='%s';"
                      % SERVER.guid(user)).strip()


def revisions(user):
    """The revision rows of the user's home as (addressbook_name, resource_name, deleted,
    owner is the home), oldest first."""
    home = home_of(user)
    out = SERVER.sql("SELECT coalesce(addressbook_name, '<null>'), coalesce(resource_name, "
                     "'<null>'), deleted, owner_home_resource_id = addressbook_home_resource_id "
                     "FROM addressbook_object_revisions WHERE addressbook_home_resource_id=%s "
                     "ORDER BY revision;" % home)
    return [tuple(line.split("|")) for line in out.splitlines()]


class Discovery(unittest.TestCase):
    def test_a_client_finds_its_book_the_standard_way(self):
        status, headers, _ = dav("GET", "/.well-known/carddav", user=None)
        self.assertEqual(301, status)
        self.assertTrue(headers["Location"].endswith("/"))
        prop = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:'
                'ns:carddav"><d:prop><d:current-user-principal/><c:addressbook-home-set/>'
                '<d:displayname/><d:resourcetype/></d:prop></d:propfind>')
        status, _, data = dav("PROPFIND", "/", prop, {"Depth": "0"}, "carol")
        self.assertEqual(207, status)
        self.assertIn(b"<href>/carol/</href></current-user-principal>", data)
        status, _, data = dav("PROPFIND", "/carol/", prop, {"Depth": "1"}, "carol")
        self.assertEqual(207, status)
        self.assertIn(b"<CR:addressbook-home-set><href>/carol/</href>", data)
        self.assertIn(b"<href>/carol/addressbook/</href>", data)
        self.assertIn(b"<displayname>Contacts</displayname>", data)
        # The first sign-in made carol's home as the listing would: the web API sees it empty.
        self.assertEqual({}, listed("carol"))
        self.assertEqual([("addressbook", "", "f", "t")], revisions("carol"))


class SignIn(unittest.TestCase):
    def test_passwords_accounts_and_other_users_paths(self):
        self.assertEqual(207, dav("PROPFIND", book("alice"), None, {"Depth": "0"})[0])
        self.assertEqual(401, dav("PROPFIND", book("alice"), None, {"Depth": "0"},
                                  password="wrong")[0])
        self.assertEqual(401, dav("PROPFIND", book("alice"), None, {"Depth": "0"}, "nobody",
                                  "x")[0])
        self.assertEqual(401, dav("PROPFIND", book("alice"), None, {"Depth": "0"}, None)[0])
        # Every account, admin too, reaches only its own book.
        for user in ("bob", "admin"):
            self.assertEqual(403, dav("PROPFIND", book("alice"), None, {"Depth": "0"}, user)[0])
            self.assertEqual(403, dav("GET", book("alice") + "x.vcf", user=user)[0])
            self.assertEqual(403, dav("PUT", book("alice") + "x.vcf", card("x", "X"), user=user)[0])

    def test_a_deleted_account_and_a_new_password_stop_at_once(self):
        self.assertEqual(207, dav("PROPFIND", book("dave"), None, {"Depth": "0"}, "dave")[0])
        SERVER.add_account("dave", "dave-secret-2", "passwd")
        self.assertEqual(401, dav("PROPFIND", book("dave"), None, {"Depth": "0"}, "dave")[0])
        self.assertEqual(207, dav("PROPFIND", book("dave"), None, {"Depth": "0"}, "dave",
                                  "dave-secret-2")[0])
        tool = os.path.join(SERVER.build, "platform", "lumidex_account")
        subprocess.run([tool, "delete", "dave"], env=dict(os.environ, LUMIDEX_ROOT=SERVER.root),
                       check=True, capture_output=True)
        self.assertEqual(401, dav("PROPFIND", book("dave"), None, {"Depth": "0"}, "dave",
                                  "dave-secret-2")[0])

    def test_failures_count_against_the_web_apis_limits(self):
        # From an address of its own, so that the other tests' sign-ins are not slowed.
        source = "127.0.0.7"
        with concurrent.futures.ThreadPoolExecutor(12) as pool:
            statuses = list(pool.map(
                lambda i: dav("PROPFIND", book("erin"), None, {"Depth": "0"}, "erin", "guess%d" % i,
                              source)[0], range(12)))
        self.assertEqual(10, statuses.count(401), statuses)
        self.assertEqual(2, statuses.count(429), statuses)
        status, headers, _ = dav("PROPFIND", book("erin"), None, {"Depth": "0"}, "erin", None,
                                 source)
        self.assertEqual(429, status)
        self.assertGreater(int(headers["Retry-After"]), 0)
        # From elsewhere erin still signs in.
        self.assertEqual(207, dav("PROPFIND", book("erin"), None, {"Depth": "0"}, "erin")[0])


class Sync(unittest.TestCase):
    def test_incremental_sync_follows_the_web_api_and_the_client(self):
        kept = api_add("alice", "Kept")
        edited = api_add("alice", "Edited")
        gone = api_add("alice", "Gone")
        token, full = sync("alice")
        self.assertEqual(set(listed("alice")), set(full))
        self.assertEqual({n: c["etag"] for n, c in listed("alice").items()}, full)

        api_edit("alice", edited, "changed")
        api_delete("alice", [gone])
        api_import("alice", card("imported-1", "Imported"))
        new_token, changes = sync("alice", token)
        [imported] = [n for n, c in listed("alice").items() if c["name"]["family_name"] ==
                      "Imported"]
        self.assertEqual({edited: listed("alice")[edited]["etag"], gone: None,
                          imported: listed("alice")[imported]["etag"]}, changes)
        self.assertNotIn(kept, changes)
        self.assertEqual((new_token, {}), sync("alice", new_token))

        # Delete and re-create of one name over CardDAV: one change, the new card.
        token = new_token
        self.assertEqual(200, dav("DELETE", book("alice") + kept)[0])
        self.assertEqual(201, dav("PUT", book("alice") + kept, card("again", "Again"))[0])
        token2, changes = sync("alice", token)
        self.assertEqual({kept: hashlib.md5(card("again", "Again").encode()).hexdigest()},
                         changes)

        # The same with python3-caldav's sync-token sync.
        import caldav
        client = caldav.DAVClient("http://127.0.0.1:%d%s" % (PORTS["http"], book("alice")),
                                  username="alice", password=PASSWORDS["alice"])
        collection = caldav.Calendar(client, url=client.url)
        objects = collection.objects_by_sync_token(sync_token=token2, load_objects=False)
        self.assertEqual([], list(objects))
        api_edit("alice", edited, "changed again")
        objects = collection.objects_by_sync_token(sync_token=token2, load_objects=True)
        self.assertEqual([edited], [str(o.url).rsplit("/", 1)[1] for o in objects])
        self.assertIn("changed again", list(objects)[0].data)

    def test_bad_foreign_and_future_tokens_are_refused(self):
        bob_token, _ = sync("bob")
        alice_token, _ = sync("alice")
        home, revision = re.match(r"urn:lumidex:sync:(\d+):(\d+)", alice_token).groups()
        for token in ("garbage", bob_token, "urn:lumidex:sync:%s:%d" % (home, int(revision) + 5),
                      "http://radicale.org/ns/sync/1"):
            status, data = sync("alice", token)
            self.assertEqual(403, status, token)
            self.assertIn(b"valid-sync-token", data)

    def test_parallel_writers_never_hide_a_change_from_a_reader(self):
        user = "bob"
        stop = threading.Event()
        seen = {}
        token = [""]

        def reader():
            while not stop.is_set():
                result = sync(user, token[0])
                token[0] = result[0]
                for name, etag in result[1].items():
                    if etag is None:
                        seen.pop(name, None)
                    else:
                        seen[name] = etag

        def web_writer(i):
            name = api_add(user, "Web%d" % i)
            api_edit(user, name, "edit %d" % i)
            if i % 3 == 0:
                api_delete(user, [name])

        def dav_writer(i):
            href = book(user) + "dav-%d.vcf" % i
            assert dav("PUT", href, card("dav-%d" % i, "Dav%d" % i), user=user)[0] == 201
            assert dav("PUT", href, card("dav-%d" % i, "Dav%d" % i, "NOTE:x\r\n"),
                       user=user)[0] == 201
            if i % 3 == 1:
                assert dav("DELETE", href, user=user)[0] == 200

        thread = threading.Thread(target=reader)
        thread.start()
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            jobs = [pool.submit(web_writer, i) for i in range(8)]
            jobs += [pool.submit(dav_writer, i) for i in range(8)]
            for job in jobs:
                job.result()
        stop.set()
        thread.join()
        final = sync(user, token[0])
        for name, etag in final[1].items():
            if etag is None:
                seen.pop(name, None)
            else:
                seen[name] = etag
        self.assertEqual({n: c["etag"] for n, c in listed(user).items()}, seen)


class Writes(unittest.TestCase):
    def test_a_put_keeps_the_clients_bytes_and_writes_rows_as_the_store_does(self):
        text = ("BEGIN:VCARD\nVERSION:3.0\nUID:bytes-1\nfn:Zoë  Bytes\nN:Bytes;Zoë;;;\n"
                "item1.EMAIL;type=INTERNET:zoe@example.org\nNOTE:folded\n  line\nEND:VCARD\n")
        before = revisions("alice")
        status, headers, _ = dav("PUT", book("alice") + "bytes-1.vcf", text,
                                 {"Content-Type": "text/vcard"})
        self.assertEqual(201, status)
        md5 = hashlib.md5(text.encode()).hexdigest()
        self.assertEqual('"%s"' % md5, headers["ETag"])
        status, headers, data = dav("GET", book("alice") + "bytes-1.vcf")
        self.assertEqual((200, text.encode()), (status, data))
        self.assertEqual(text, [t for t in SERVER.card_texts("alice") if "bytes-1" in t][0])
        self.assertEqual(md5, listed("alice")["bytes-1.vcf"]["etag"])
        row = SERVER.sql("SELECT vcard_uid, kind, md5, created = modified FROM addressbook_object "
                         "WHERE resource_name='bytes-1.vcf';").strip()
        self.assertEqual("bytes-1|0|%s|t" % md5, row)
        self.assertEqual(before + [("<null>", "bytes-1.vcf", "f", "t")], revisions("alice"))

        # The web API's own add and delete leave rows of the same shape as a PUT and a DELETE.
        name = api_add("alice", "Shape")
        api_delete("alice", [name])
        self.assertEqual(200, dav("DELETE", book("alice") + "bytes-1.vcf")[0])
        tail = revisions("alice")[-2:]
        self.assertEqual([("<null>", name, "t", "t"), ("<null>", "bytes-1.vcf", "t", "t")], tail)
        self.assertNotIn("bytes-1.vcf", listed("alice"))
        modified = SERVER.sql("SELECT modified > now() at time zone 'utc' - interval '1 minute' "
                              "FROM addressbook_home_metadata WHERE resource_id=%s;"
                              % home_of("alice")).strip()
        self.assertEqual("t", modified)

    def test_conflicts_and_bad_input_are_refused(self):
        href = book("alice") + "refuse-1.vcf"
        self.assertEqual(201, dav("PUT", href, card("refuse-1", "Refuse"))[0])
        _, stored, _ = dav("GET", href)
        cases = [
            ("PUT", book("alice") + "other.vcf", card("refuse-1", "Same UID"), {}, 409),
            ("PUT", href, card("refuse-1", "Stale"), {"If-Match": '"0000"'}, 412),
            ("DELETE", href, None, {"If-Match": '"0000"'}, 412),
            ("PUT", book("alice") + "n.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:No UID\r\n"
             "END:VCARD\r\n", {}, 400),
            ("PUT", book("alice") + "u.vcf", card("u" * 256, "Long UID"), {}, 400),
            ("PUT", book("alice") + "n" * 252 + ".vcf", card("long-name", "Long"), {}, 400),
            ("PUT", book("alice") + "two.vcf", card("t1", "One") + card("t2", "Two"), {}, 400),
            ("PUT", book("alice") + "junk.vcf", "not a card at all", {}, 400),
            ("MKCOL", "/alice/second/", None, {}, 403),
            ("MOVE", href, None, {"Destination": "http://127.0.0.1:%d%smoved.vcf"
                                  % (PORTS["http"], book("alice"))}, 403),
            ("DELETE", book("alice"), None, {}, 403),
            ("PROPPATCH", book("alice"), '<?xml version="1.0"?><d:propertyupdate xmlns:d="DAV:">'
             '<d:set><d:prop><d:displayname>Mine</d:displayname></d:prop></d:set>'
             '</d:propertyupdate>', {}, 403),
        ]
        before = revisions("alice")
        for method, path, body, headers, expected in cases:
            self.assertEqual(expected, dav(method, path, body, headers)[0], (method, path))
        self.assertEqual(before, revisions("alice"))
        self.assertEqual(200, dav("GET", href)[0])
        # The stored card's own etag is accepted.
        self.assertEqual(201, dav("PUT", href, card("refuse-1", "Fresh"),
                                  {"If-Match": stored["ETag"]})[0])

    def test_an_unreadable_stored_card_is_served_and_skipped_only_by_filters(self):
        home = home_of("bob")
        broken = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:broken\r\nN:;;\r\nBDAY:::\r\nFN\r\n"
        SERVER.sql("INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, "
                   "vcard_text, vcard_uid, kind, md5) VALUES (%s, 'broken.vcf', '%s', 'broken', 0, "
                   "md5('%s'));" % (home, broken, broken))
        self.assertEqual(201, dav("PUT", book("bob") + "fine.vcf", card("fine", "Fine"),
                                  user="bob")[0])
        self.assertEqual((200, broken.encode()), dav("GET", book("bob") + "broken.vcf",
                                                     user="bob")[::2])
        _, full = sync("bob")
        self.assertIn("broken.vcf", full)
        query = ('<?xml version="1.0"?><c:addressbook-query xmlns:d="DAV:" xmlns:c="urn:ietf:'
                 'params:xml:ns:carddav"><d:prop><d:getetag/></d:prop><c:filter><c:prop-filter '
                 'name="FN"/></c:filter></c:addressbook-query>')
        status, _, data = dav("REPORT", book("bob"), query, {"Depth": "1"}, "bob")
        self.assertEqual(207, status)
        self.assertIn(b"fine.vcf", data)
        self.assertNotIn(b"broken.vcf", data)


class Vdirsyncer(unittest.TestCase):
    def test_both_ways_with_the_web_api_and_the_rename_tool(self):
        work = tempfile.mkdtemp(prefix="lumidex-vdirsyncer-")
        self.addCleanup(shutil.rmtree, work, True)
        local = os.path.join(work, "local")
        os.makedirs(local)
        with open(os.path.join(work, "config"), "w") as out:
            out.write('[general]\nstatus_path = "%s/status"\n\n[pair contacts]\na = "phone"\n'
                      'b = "server"\ncollections = ["addressbook"]\n\n[storage phone]\n'
                      'type = "filesystem"\npath = "%s"\nfileext = ".vcf"\n\n[storage server]\n'
                      'type = "carddav"\nurl = "http://127.0.0.1:%d/"\nusername = "carol"\n'
                      'password = "%s"\n' % (work, local, PORTS["http"], PASSWORDS["carol"]))

        def run(*args):
            done = subprocess.run(["vdirsyncer", "-c", os.path.join(work, "config")] + list(args),
                                  input="y\n" * 5, text=True, capture_output=True, timeout=300)
            self.assertEqual(0, done.returncode, done.stdout + done.stderr)

        def phone():
            """The phone's cards by family name."""
            folder = os.path.join(local, "addressbook")
            result = {}
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), newline="") as f:
                    text = f.read()
                result[re.search(r"^N:([^;\r\n]*)", text, re.M).group(1)] = (name, text)
            return result

        def families(user):
            return {c["name"]["family_name"]: n for n, c in listed(user).items()}

        first = api_add("carol", "First")
        run("discover")
        run("sync")
        self.assertEqual({"First"}, set(phone()))
        api_edit("carol", first, "edited on the web")
        api_add("carol", "Second")
        run("sync")
        self.assertIn("edited on the web", phone()["First"][1])
        self.assertEqual({"First", "Second"}, set(phone()))
        api_delete("carol", [first])
        text = card("from-phone", "Phone")
        with open(os.path.join(local, "addressbook", "from-phone.vcf"), "w", newline="") as out:
            out.write(text)
        run("sync")
        self.assertEqual({"Second", "Phone"}, set(phone()))
        self.assertEqual({"Second", "Phone"}, set(families("carol")))
        self.assertIn(text, SERVER.card_texts("carol"))
        self.assertEqual(("<null>", families("carol")["Phone"], "f", "t"), revisions("carol")[-1])
        os.unlink(os.path.join(local, "addressbook", phone()["Second"][0]))
        run("sync")
        self.assertEqual({"Phone"}, set(families("carol")))

        # The rename tool moves carol's cards to frank: they leave carol's phone.
        tool = os.path.join(SERVER.build, "tools", "lumidex_user_set")
        moved = subprocess.run([tool, "-o", "carol", "-n", "frank"],
                               env=dict(os.environ, LUMIDEX_ROOT=SERVER.root),
                               capture_output=True, text=True)
        self.assertEqual(0, moved.returncode, moved.stdout + moved.stderr)
        self.assertEqual({"Phone"}, set(families("frank")))
        run("sync", "--force-delete")  # vdirsyncer asks before emptying a side
        self.assertEqual({}, phone())


class Ports(unittest.TestCase):
    def test_zz_ports_tls_and_redirects_after_a_settings_change(self):
        http_port, https_port = harness.free_port(), harness.free_port()

        def change(redirect):
            status, reply = WEB.api("set", {"EnableSSL": "true",
                                            "RedirectHTTPToHTTPS": json.dumps(redirect),
                                            "HTTPPort": str(http_port),
                                            "SSLPort": str(https_port)},
                                    api="ORVA.ContactAndCalendar.Common")
            self.assertTrue(reply.get("success"), reply)

        self.addCleanup(change, False)
        for redirect in (False, True):
            change(redirect)
            PORTS.update(http=http_port, https=https_port)
            self.assertEqual(207, dav("PROPFIND", book("alice"), None, {"Depth": "0"},
                                      https=True)[0])
            status, headers, data = dav("GET", "/probe", user=None)
            if redirect:
                self.assertEqual(301, status)
                self.assertEqual("https://127.0.0.1:%d/probe" % https_port, headers["Location"])
                status, headers, _ = dav("PROPFIND", book("alice"), None, {"Depth": "0"})
                self.assertEqual(308, status)
                self.assertEqual("https://127.0.0.1:%d%s" % (https_port, book("alice")),
                                 headers["Location"])
            else:
                self.assertEqual(401, status)
                self.assertIn(b"http port %d" % http_port, data)
                self.assertEqual(207, dav("PROPFIND", book("alice"), None, {"Depth": "0"})[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
