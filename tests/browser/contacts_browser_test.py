#!/usr/bin/python3
# The contacts pages in headless Chromium against a real server: sign-in, add, search, edit,
# import, download, delete and sign-out as a person does them, with what the store holds
# afterwards checked beside what the page shows; hostile card text, the virtual list, the
# keyboard, a phone-sized window and the settings page's error placement; kinds, escapes,
# right-to-left text and stale cards as people meet them in cards from phones.
import base64
import json
import os
import re
import secrets
import shutil
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

from selenium.common.exceptions import TimeoutException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

SERVER = None
WAIT = 30  # seconds; the sanitizer build of the front is slow


def setUpModule():
    global SERVER
    SERVER = harness.Server()


def tearDownModule():
    if SERVER:
        SERVER.close()


# A file of four cards as address-book programs write them: a grouped e-mail with its label, an
# unmapped property, a folded note, LF line ends in one card and CRLF in the others, and text
# before the first card that the import skips.
IMPORT_CARDS = (
    "exported by a test\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Hopper;Grace;Brewster;;\r\nFN:Grace Hopper\r\n"
    "ORG:US Navy;\r\nTITLE:Rear Admiral\r\n"
    "item1.EMAIL;type=INTERNET;type=pref:grace@navy.example\r\n"
    "item1.X-ABLabel:_$!<Work>!$_\r\nTEL;type=WORK;type=VOICE:+1 202 555 0143\r\n"
    "X-SOCIALPROFILE;type=twitter:http://twitter.example/grace\r\nCATEGORIES:Pioneers,US Navy\r\n"
    "NOTE:Wrote the first\r\n compiler\r\nUID:grace-1\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\nVERSION:3.0\nN:Turing;Alan;Mathison;;\nFN:Alan Turing\n"
    "TEL;type=CELL:+44 161 555 0199\nEMAIL;type=INTERNET:alan@bletchley.example\n"
    "ADR;type=HOME:;;Hollymeade;Wilmslow;Cheshire;SK9;UK\nEND:VCARD\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Hamilton;Margaret;;;\r\nFN:Margaret Hamilton\r\n"
    "ORG:MIT Instrumentation Laboratory\r\nTEL;type=WORK:+1 617 555 0107\r\nCATEGORIES:Pioneers\r\n"
    "URL;type=pref:https://apollo.example/software\r\nBDAY:1936-08-17\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Johnson;Katherine;;;\r\nFN:Katherine Johnson\r\n"
    "ORG:NASA Langley\r\nEMAIL;type=INTERNET:katherine@langley.example\r\nEND:VCARD\r\n"
)


class Page:
    """What the tests do on the contacts pages."""

    def __init__(self, driver):
        self.d = driver

    def wait(self, condition, what, timeout=WAIT):
        try:
            return WebDriverWait(self.d, timeout, poll_frequency=0.05).until(lambda d: condition())
        except TimeoutException:
            raise AssertionError("timed out waiting for " + what + "; page says: " + self.messages())

    def by_id(self, element_id):
        return self.d.find_element(By.ID, element_id)

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def messages(self):
        return str(self.js(
            "const t = (id) => { const e = document.getElementById(id);"
            " return e && !e.hidden ? e.textContent : ''; };"
            "return [location.pathname, t('message-text'), t('notice'), t('login-error'),"
            " t('edit-error'), t('count')];"))

    def unlabelled_fields(self):
        """Visible form fields that no label names, by id or name."""
        return self.js(
            "return [...document.querySelectorAll('input, textarea, select')]"
            ".filter((e) => e.getClientRects().length && e.getAttribute('aria-hidden') !== 'true'"
            " && !e.labels.length && !e.getAttribute('aria-label'))"
            ".map((e) => e.id || e.name || e.outerHTML);")

    def sign_in(self, user, password):
        self.d.get(SERVER.url + "/")
        self.wait(lambda: self.d.current_url.endswith("/login.html"), "the sign-in page")
        self.by_id("username").send_keys(user)
        self.by_id("password").send_keys(password + Keys.ENTER)
        self.wait(lambda: self.d.current_url.rstrip("/").endswith(str(SERVER.port)) or
                  self.d.current_url.endswith("/index.html"), "the contacts page")
        self.wait(lambda: user in self.by_id("who-name").text, "the signed-in name")
        self.wait_list()

    def wait_list(self):
        self.wait(lambda: self.by_id("list").get_attribute("aria-busy") == "false", "the list")

    def names(self):
        return self.js("return [...document.querySelectorAll('#list .row .col-name')]"
                       ".map((e) => e.textContent);")

    def count_text(self):
        return self.by_id("count").text

    def dismiss_notice(self):
        """Hides the last notice, so that waiting for the next one cannot find it."""
        self.js("document.getElementById('notice').hidden = true")

    def wait_notice(self, text):
        self.wait(lambda: self.by_id("notice").is_displayed() and self.by_id("notice").text == text,
                  "the notice " + repr(text))

    def row(self, name):
        for row in self.d.find_elements(By.CSS_SELECTOR, "#list .row"):
            if row.find_element(By.CSS_SELECTOR, ".col-name").text == name:
                return row
        raise AssertionError("no row for %r in %r" % (name, self.names()))

    def open_card(self, name):
        self.row(name).find_element(By.CSS_SELECTOR, ".col-name").click()
        self.wait(lambda: self.by_id("card-dialog").get_attribute("open") is not None, "the card")

    def select(self, *names):
        for name in names:
            self.row(name).find_element(By.CSS_SELECTOR, ".col-check").click()

    def search(self, text):
        box = self.by_id("search")
        box.send_keys(Keys.CONTROL, "a")
        box.send_keys(Keys.BACKSPACE)
        box.send_keys(text)
        self.wait(lambda: box.get_attribute("value") == text, "the search text")
        self.wait_list()

    def api_requests(self, method):
        """How many calls of `method` the page has made so far."""
        return self.js("return performance.getEntriesByType('resource').filter((e) =>"
                       " e.name.includes('/webapi/entry.cgi') && e.name.includes('method=' + arguments[0]))"
                       ".length", method)

    def choose_kind(self, entry, kind, label=None):
        Select(entry.find_element(By.CSS_SELECTOR, ".entry-kind")).select_by_visible_text(kind)
        if label is not None:
            entry.find_element(By.CSS_SELECTOR, ".entry-label").send_keys(label)

    def open_editor(self, name):
        self.open_card(name)
        self.by_id("card-edit").click()
        self.wait(lambda: self.by_id("edit-dialog").get_attribute("open") is not None, "the editor")

    def dialog_open(self, element_id):
        return self.by_id(element_id).get_attribute("open") is not None

    def kinds_shown(self):
        """Each value of the open card with the words shown beside it."""
        return self.js("return Object.fromEntries([...document.querySelectorAll('#card-fields"
                       " .entry-view')].map((e) => [e.firstChild.textContent, e.lastChild.textContent]))")

    def in_page_fetch(self, method, fields):
        """Calls the API from the page with the page's cookie but without its token."""
        return self.d.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Contacts&version=1&method=' +"
            " arguments[0], {method: 'POST', credentials: 'same-origin',"
            " body: new URLSearchParams(arguments[1])})"
            ".then(async (r) => done([r.status, await r.text()]), (e) => done([0, String(e)]));",
            method, fields)


def wait_for_file(folder, name, timeout=WAIT):
    path = os.path.join(folder, name)
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path) and not any(f.endswith(".crdownload") for f in os.listdir(folder)):
            with open(path, "rb") as f:
                return f.read().decode("utf-8")
        time.sleep(0.05)
    raise AssertionError("no download %s in %s: %s" % (name, folder, os.listdir(folder)))


def cards_of(text):
    """The cards of a download, each from BEGIN to END, as sets of lines."""
    cards = []
    for chunk in text.split("END:VCARD")[:-1]:
        lines = [line for line in chunk.replace("\r\n", "\n").split("\n") if line]
        cards.append(lines)
    return cards


class ContactsInBrowser(unittest.TestCase):
    """One person's day with the contacts pages, step by step; each step builds on the last."""

    user = "carol"

    @classmethod
    def setUpClass(cls):
        cls.password = secrets.token_urlsafe(12)
        SERVER.add_account(cls.user, cls.password)
        cls.downloads = tempfile.mkdtemp(prefix="lumidex-downloads-")
        cls.driver = harness.start_browser(cls.downloads, 1280, 800)
        cls.page = Page(cls.driver)
        # A second session of the same person, to read what the listing gives.
        cls.client = harness.Client(SERVER)
        cls.client.login(cls.user, cls.password)

    @classmethod
    def tearDownClass(cls):
        harness.stop_browser(cls.driver)
        shutil.rmtree(cls.downloads, ignore_errors=True)

    def listing(self):
        status, reply = self.client.api("list_cards", {"user": self.user})
        self.assertTrue(reply.get("success"), (status, reply))
        return reply["data"]["cards"]

    def record(self, family_name):
        [card] = [c for c in self.listing() if c["name"]["family_name"] == family_name]
        return card

    def assertOnlyFirstPhoneChanged(self, before, after, number):
        """The record as listed after an edit is the one before with a new first number (and so
        a new etag, when the listing gives one)."""
        self.assertEqual(number, after["tel"][0]["data"])
        expected = json.loads(json.dumps(before))
        expected["tel"][0]["data"] = number
        if "etag" in before:
            self.assertNotEqual(before["etag"], after.get("etag"))
            expected["etag"] = after.get("etag")
        self.assertEqual(expected, after)

    def stored(self):
        return SERVER.card_texts(self.user)

    def clear_downloads(self):
        for name in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, name))

    def test_01_sign_in(self):
        p = self.page
        self.driver.get(SERVER.url + "/")
        p.wait(lambda: self.driver.current_url.endswith("/login.html"), "the way to the sign-in page")
        p.by_id("username").send_keys(self.user)
        p.by_id("password").send_keys("not the password" + Keys.ENTER)
        p.wait(lambda: p.by_id("login-error").is_displayed(), "the refusal")
        self.assertEqual("Wrong user name or password.", p.by_id("login-error").text)
        self.assertTrue(self.driver.current_url.endswith("/login.html"))

        p.by_id("username").clear()
        p.sign_in(self.user, self.password)
        self.assertEqual("Signed in as " + self.user, p.by_id("who-name").text)
        self.assertEqual("0 contacts", p.count_text())
        self.assertEqual([], p.unlabelled_fields())
        self.assertIn("No contacts yet", p.by_id("list-empty").text)
        # Nothing to download: said so, and no file is saved.
        p.by_id("export-all").click()
        p.wait_notice("There are no contacts to download: nothing was saved.")
        self.assertEqual(0, p.api_requests("export_all_cards"))
        self.assertEqual([], os.listdir(self.downloads))
        # Only "admin" gets the settings page and other people's address books.
        self.assertFalse(p.by_id("nav-settings").is_displayed())
        self.assertFalse(p.by_id("book-form").is_displayed())

    def test_02_add_contact(self):
        p = self.page
        p.by_id("new-contact").click()
        p.wait(lambda: p.by_id("edit-dialog").get_attribute("open") is not None, "the editor")
        self.assertEqual(p.by_id("edit-given"), self.driver.switch_to.active_element)
        p.by_id("edit-given").send_keys("Ada")
        p.by_id("edit-family").send_keys("Lovelace")
        p.by_id("edit-org").send_keys("Analytical Engines")
        p.by_id("edit-title-field").send_keys("Programmer")
        phones = self.driver.find_elements(By.CSS_SELECTOR, "fieldset[data-kind=tel] .entry")
        self.assertEqual(1, len(phones))
        phones[0].find_element(By.CSS_SELECTOR, ".entry-data").send_keys("+44 20 7946 0001")
        mails = self.driver.find_elements(By.CSS_SELECTOR, "fieldset[data-kind=mail] .entry")
        mails[0].find_element(By.CSS_SELECTOR, ".entry-data").send_keys("ada@engines.example")
        p.choose_kind(mails[0], "Custom label", "Lab")
        # A second phone of another kind.
        self.driver.find_element(By.CSS_SELECTOR, "fieldset[data-kind=tel] .add-entry").click()
        second = self.driver.find_elements(By.CSS_SELECTOR, "fieldset[data-kind=tel] .entry")[1]
        p.choose_kind(second, "Home")
        second.find_element(By.CSS_SELECTOR, ".entry-data").send_keys("020 7946 0002")
        p.by_id("edit-bday").send_keys("1815-12-10")
        self.assertEqual([], p.unlabelled_fields())
        p.by_id("edit-note").send_keys("First program: Bernoulli numbers")
        p.by_id("edit-save").click()

        p.wait_notice("Added the new contact.")
        p.wait_list()
        self.assertEqual(["Ada Lovelace"], p.names())
        row = p.row("Ada Lovelace")
        self.assertEqual("Analytical Engines", row.find_element(By.CSS_SELECTOR, ".col-company").text)
        self.assertEqual("+44 20 7946 0001", row.find_element(By.CSS_SELECTOR, ".col-tel").text)
        self.assertEqual("ada@engines.example", row.find_element(By.CSS_SELECTOR, ".col-mail").text)

        [text] = self.stored()
        lines = text.split("\r\n")
        self.assertIn("N:Lovelace;Ada;;;", lines)
        self.assertIn("TITLE:Programmer", lines)
        self.assertIn("TEL;type=CELL:+44 20 7946 0001", lines)
        self.assertIn("TEL;type=HOME:020 7946 0002", lines)
        self.assertIn("BDAY:1815-12-10", lines)
        self.assertIn("NOTE:First program: Bernoulli numbers", lines)
        # The custom label travels as a label line of the e-mail's group.
        mail = [line for line in lines if "EMAIL" in line]
        self.assertEqual(1, len(mail), lines)
        group = mail[0].split(".")[0]
        self.assertTrue(mail[0].endswith(":ada@engines.example"), mail)
        self.assertIn(group + ".X-ABLabel:Lab", lines)

        # The card view shows what was entered, each value with its kind.
        p.open_card("Ada Lovelace")
        fields = p.by_id("card-fields").text
        for value in ("Programmer", "1815-12-10", "First program: Bernoulli numbers"):
            self.assertIn(value, fields)
        self.assertEqual({"+44 20 7946 0001": "Mobile", "020 7946 0002": "Home", "ada@engines.example": "Lab"},
                         p.kinds_shown())
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)
        p.wait(lambda: p.by_id("card-dialog").get_attribute("open") is None, "the card to close")

    def test_03_hostile_text_stays_text(self):
        p = self.page
        client = self.client
        hostile = '<img src=x onerror="window.pwned=1">'
        status, reply = client.api("add_card", {"user": self.user, "card": json.dumps({
            "name": {"family_name": "Script", "given_name": hostile, "additional_name": ""},
            "company": {"org": "<b>bold</b>", "title": ""},
            "tel": [], "mail": [{"key": "EMAIL", "cust_name": "<i>x</i>", "type": ["INTERNET"],
                                 "data": "a@b.example"}],
            "url": [{"key": "URL", "cust_name": "URL", "type": ["HOME"], "data": "javascript:window.pwned=2"}],
            "note": "<script>window.pwned=3</script>"})})
        self.assertEqual({"success": True, "data": None}, reply, status)
        self.driver.refresh()
        p.wait_list()
        name = hostile + " Script"
        self.assertIn(name, p.names())
        p.open_card(name)
        self.assertIn("<script>window.pwned=3</script>", p.by_id("card-fields").text)
        self.assertIn("javascript:window.pwned=2", p.by_id("card-fields").text)
        # No element came out of the card's text and no link leads to script.
        self.assertEqual(0, p.js("return document.querySelectorAll('#list img, #card-fields img,"
                                 " #card-fields script, #card-fields b, #list b').length"))
        self.assertEqual([], p.js("return [...document.querySelectorAll('#card-fields a')]"
                                  ".map((a) => a.href).filter((h) => h.startsWith('javascript'))"))
        self.assertIsNone(p.js("return window.pwned"))
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)
        self.__class__.hostile_id = [c["id"] for c in self.listing() if "Script" in json.dumps(c)]

    def test_04_find_by_search(self):
        p = self.page
        p.search("lovel")
        self.assertEqual(["Ada Lovelace"], p.names())
        self.assertEqual("1 of 2 contacts match", p.count_text())
        # Digits alone are a text to search for, not a number: part of the phone number.
        p.search("7946 0001")
        self.assertEqual(["Ada Lovelace"], p.names())
        p.search("no such person")
        self.assertEqual([], p.names())
        self.assertEqual('No contact matches "no such person".', p.by_id("list-empty").text)
        p.search("")
        self.assertEqual(2, len(p.names()))
        self.assertEqual("2 contacts", p.count_text())

        # The hostile card has served; the rest of the day goes on without it.
        status, reply = self.client.api("delete_cards", {"user": self.user,
                                                         "id": json.dumps(self.hostile_id)})
        self.assertEqual({"success": True, "data": None}, reply, status)
        self.driver.refresh()
        p.wait_list()
        self.assertEqual(["Ada Lovelace"], p.names())

    def test_05_edit_a_phone(self):
        p = self.page
        [before] = [t for t in self.stored() if "Lovelace" in t]
        record = self.record("Lovelace")
        p.open_card("Ada Lovelace")
        p.by_id("card-edit").click()
        p.wait(lambda: p.by_id("edit-dialog").get_attribute("open") is not None, "the editor")
        first = self.driver.find_elements(By.CSS_SELECTOR, "fieldset[data-kind=tel] .entry-data")[0]
        self.assertEqual("+44 20 7946 0001", first.get_attribute("value"))
        first.clear()
        first.send_keys("+44 20 7946 0999")
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to Ada Lovelace.")
        p.wait_list()
        p.wait(lambda: p.row("Ada Lovelace").find_element(By.CSS_SELECTOR, ".col-tel").text ==
               "+44 20 7946 0999", "the new number in the list")
        p.open_card("Ada Lovelace")
        self.assertIn("+44 20 7946 0999", p.by_id("card-fields").text)
        self.assertNotIn("+44 20 7946 0001", p.by_id("card-fields").text)
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)

        # The same card was changed (not a new one added) and only the number changed.
        [after] = [t for t in self.stored() if "Lovelace" in t]
        old = before.split("\r\n")
        new = after.split("\r\n")
        self.assertEqual([l for l in old if l.startswith("UID:")], [l for l in new if l.startswith("UID:")])
        self.assertEqual(set(old) - {"TEL;type=CELL:+44 20 7946 0001"},
                         set(new) - {"TEL;type=CELL:+44 20 7946 0999"})
        self.assertIn("TEL;type=CELL:+44 20 7946 0999", new)
        self.assertOnlyFirstPhoneChanged(record, self.record("Lovelace"), "+44 20 7946 0999")

    def test_06_import_with_progress(self):
        p = self.page
        folder = tempfile.mkdtemp(prefix="lumidex-import-")
        self.addCleanup(shutil.rmtree, folder, True)
        path = os.path.join(folder, "pioneers.vcf")
        # Lines before the first card are skipped by the import; they make the upload long
        # enough to report progress.
        # The last card holds a NUL byte, which the store refuses: the report names it.
        # Grace Hopper gets a face, for the picture of the page.
        face = base64.b64encode(file_photo(sample_card("iphone-ios5-v30-photo-crcrlf.vcf"))).decode()
        with open(path, "w", newline="") as f:
            f.write("; padding\r\n" * 150000 +
                    IMPORT_CARDS.replace("UID:grace-1\r\n", "UID:grace-1\r\nPHOTO;ENCODING=b;TYPE=JPEG:%s\r\n" % face) +
                    "BEGIN:VCARD\r\nFN:Broken\x00card\r\nEND:VCARD\r\n")
        p.js("window.progressSeen = [];"
             "new MutationObserver(() => window.progressSeen.push("
             "  [document.getElementById('import-progress').hidden,"
             "   document.getElementById('import-bar').value]))"
             ".observe(document.getElementById('import-progress'),"
             "  {attributes: true, subtree: true});")
        p.js("document.getElementById('import-file').hidden = false;")
        p.by_id("import-file").send_keys(path)
        p.wait_notice("Imported 4 contacts from pioneers.vcf. "
                      "1 could not be imported: card 5 could not be stored.")
        p.wait_list()
        self.assertEqual(["Ada Lovelace", "Alan Mathison Turing", "Grace Brewster Hopper",
                          "Katherine Johnson", "Margaret Hamilton"],
                         sorted(n for n in p.names() if "Script" not in n))
        seen = p.js("return window.progressSeen")
        self.assertTrue(any(not hidden for hidden, _ in seen), seen)
        self.assertIn(100, [value for _, value in seen])
        self.assertTrue(p.by_id("import-progress").get_attribute("hidden") is not None)

        row = p.row("Grace Brewster Hopper")
        self.assertEqual("US Navy", row.find_element(By.CSS_SELECTOR, ".col-company").text)
        self.assertEqual("grace@navy.example", row.find_element(By.CSS_SELECTOR, ".col-mail").text)

        # A refused file is explained, not swallowed.
        bad = os.path.join(folder, "notes.vcf")
        with open(bad, "w") as f:
            f.write("just some notes\n")
        p.by_id("import-file").send_keys(bad)
        p.wait(lambda: p.by_id("message").is_displayed(), "the import's error")
        self.assertIn("notes.vcf", p.by_id("message-text").text)
        self.assertIn("the file holds no contact", p.by_id("message-text").text)
        self.assertIn("1011", p.by_id("message-text").text)
        p.by_id("message-close").click()
        p.js("document.getElementById('import-file').hidden = true;")

    def test_07_edit_keeps_what_the_page_does_not_show(self):
        p = self.page
        [before] = [t for t in self.stored() if "Hopper" in t]
        record = self.record("Hopper")
        p.open_card("Grace Brewster Hopper")
        self.assertIn("Work", p.by_id("card-fields").text)  # the group's label
        p.by_id("card-edit").click()
        p.wait(lambda: p.by_id("edit-dialog").get_attribute("open") is not None, "the editor")
        phone = self.driver.find_elements(By.CSS_SELECTOR, "fieldset[data-kind=tel] .entry-data")[0]
        phone.clear()
        phone.send_keys("+1 202 555 0144")
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to Grace Brewster Hopper.")
        p.wait_list()
        [after] = [t for t in self.stored() if "Hopper" in t]
        old = set(before.split("\r\n"))
        new = set(after.split("\r\n"))
        self.assertIn("TEL;type=WORK;type=VOICE:+1 202 555 0144", new)
        for kept in ("X-SOCIALPROFILE;type=twitter:http://twitter.example/grace",
                     "item1.EMAIL;type=INTERNET;type=pref:grace@navy.example",
                     "item1.X-ABLabel:_$!<Work>!$_", "TITLE:Rear Admiral"):
            self.assertIn(kept, old)
            self.assertIn(kept, new)
        self.assertEqual([l for l in old if l.startswith("UID:")], [l for l in new if l.startswith("UID:")])
        # Everything the listing reads, unmapped lines (`other`) included, is as it was.
        self.assertOnlyFirstPhoneChanged(record, self.record("Hopper"), "+1 202 555 0144")

    def test_08_screenshot_of_the_contacts_page(self):
        p = self.page
        self.driver.refresh()
        p.wait_list()
        p.select("Grace Brewster Hopper", "Katherine Johnson")
        # No focus and so no blinking caret: the same page gives the same picture every run.
        p.js("document.activeElement.blur()")
        docs = os.path.join(harness.SOURCE_DIR, "docs")
        os.makedirs(docs, exist_ok=True)
        path = os.path.join(docs, "contacts-page.png")
        self.assertTrue(self.driver.save_screenshot(path))
        with open(path, "rb") as f:
            self.assertEqual(b"\x89PNG", f.read(4))
        for name in ("Grace Brewster Hopper", "Katherine Johnson"):
            p.row(name).find_element(By.CSS_SELECTOR, ".col-check").click()

    def test_09_download_selected_and_all(self):
        p = self.page
        self.clear_downloads()
        p.select("Alan Mathison Turing", "Margaret Hamilton")
        self.assertEqual("Download selected (2)", p.by_id("export-selected").text)
        p.by_id("export-selected").click()
        text = wait_for_file(self.downloads, "Contact.vcf")
        cards = cards_of(text)
        self.assertEqual(2, len(cards))
        self.assertEqual({"N:Turing;Alan;Mathison;;", "N:Hamilton;Margaret;;;"},
                         {line for card in cards for line in card if line.startswith("N:")})
        stored = [t for t in self.stored() if "Turing" in t or "Hamilton" in t]
        self.assertEqual(sorted(t + "\n" for t in stored),
                         sorted(c + "END:VCARD\r\n\n" for c in text.split("END:VCARD\r\n\n")[:-1]))

        self.clear_downloads()
        p.by_id("export-all").click()
        text = wait_for_file(self.downloads, "Contact.vcf")
        self.assertEqual(len(self.stored()), text.count("BEGIN:VCARD"))
        self.assertEqual(5, text.count("BEGIN:VCARD"))
        p.wait_notice("Downloaded 5 contacts as Contact.vcf.")
        p.select("Alan Mathison Turing", "Margaret Hamilton")  # unselect

    def test_10_keyboard_alone(self):
        p = self.page
        p.search("")
        search = p.by_id("search")
        search.click()
        search.send_keys(Keys.ARROW_DOWN)
        self.assertEqual(p.by_id("list"), self.driver.switch_to.active_element)
        names = p.names()
        p.by_id("list").send_keys(Keys.HOME)
        active = lambda: p.js("const id = document.getElementById('list')"  # noqa: E731
                              ".getAttribute('aria-activedescendant');"
                              " return id ? document.getElementById(id).querySelector('.col-name')"
                              ".textContent : null;")
        self.assertEqual(names[0], active())
        p.by_id("list").send_keys(Keys.ARROW_DOWN)
        self.assertEqual(names[1], active())
        p.by_id("list").send_keys(Keys.SPACE)
        self.assertEqual("5 contacts, 1 selected", p.count_text())
        self.assertEqual("true", p.row(names[1]).get_attribute("aria-selected"))
        p.by_id("list").send_keys(Keys.SPACE)
        self.assertEqual("5 contacts", p.count_text())
        p.by_id("list").send_keys(Keys.END)
        self.assertEqual(names[-1], active())
        p.by_id("list").send_keys(Keys.ENTER)
        p.wait(lambda: p.by_id("card-dialog").get_attribute("open") is not None, "the card")
        self.assertEqual(names[-1], p.by_id("card-title").text)
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        p.wait(lambda: p.by_id("card-dialog").get_attribute("open") is None, "the card to close")
        self.assertEqual(p.by_id("list"), self.driver.switch_to.active_element)

    def test_11_delete_after_confirmation(self):
        p = self.page
        count = len(self.stored())
        p.select("Katherine Johnson", "Margaret Hamilton")
        p.by_id("delete-selected").click()
        p.wait(lambda: p.by_id("confirm-dialog").get_attribute("open") is not None, "the question")
        self.assertEqual("Delete 2 contacts? This cannot be undone.", p.by_id("confirm-text").text)
        p.by_id("confirm-no").click()
        p.wait(lambda: p.by_id("confirm-dialog").get_attribute("open") is None, "the question to go")
        self.assertEqual(count, len(self.stored()))
        self.assertIn("Katherine Johnson", p.names())

        p.by_id("delete-selected").click()
        p.wait(lambda: p.by_id("confirm-dialog").get_attribute("open") is not None, "the question")
        p.by_id("confirm-yes").click()
        p.wait_notice("Deleted 2 contacts.")
        p.wait_list()
        self.assertNotIn("Katherine Johnson", p.names())
        self.assertNotIn("Margaret Hamilton", p.names())
        self.assertEqual(count - 2, len(self.stored()))
        self.assertEqual("3 contacts", p.count_text())
        self.assertTrue(p.by_id("delete-selected").get_attribute("disabled"))

    def test_12_sign_out_and_the_api_refuses(self):
        p = self.page
        status, body = p.in_page_fetch("list_cards", {"user": self.user})
        self.assertEqual(200, status, body)
        p.by_id("sign-out").click()
        p.wait(lambda: self.driver.current_url.endswith("/login.html"), "the sign-in page")
        # Back shows the sign-in page again, not the address book from the browser's cache.
        self.driver.back()
        p.wait(lambda: self.driver.current_url.endswith("/login.html") and
               p.js("return document.readyState") == "complete", "the sign-in page after Back")
        self.assertEqual(0, p.js("return document.querySelectorAll('#list .row, #card-fields dd').length"))
        status, body = p.in_page_fetch("list_cards", {"user": self.user})
        self.assertEqual(401, status, body)
        self.assertEqual(108, json.loads(body)["error"]["code"])
        status, body = p.in_page_fetch("delete_cards", {"user": self.user, "id": "[]"})
        self.assertEqual(401, status, body)
        self.driver.get(SERVER.url + "/")
        p.wait(lambda: self.driver.current_url.endswith("/login.html"), "the way back to sign-in")
        self.assertEqual(3, len(self.stored()))


class ManyContactsInBrowser(unittest.TestCase):
    """A large address book: only what is visible is in the page, and it still works."""

    user = "dora"
    count = 3000

    @classmethod
    def setUpClass(cls):
        cls.password = secrets.token_urlsafe(12)
        SERVER.add_account(cls.user, cls.password)
        client = harness.Client(SERVER)
        client.login(cls.user, cls.password)
        status, reply = client.api("list_cards", {"user": cls.user})  # makes the address book
        assert reply.get("success"), reply
        SERVER.store_cards(cls.user, cls.count, (
            "'BEGIN:VCARD' || chr(13) || chr(10) || 'VERSION:3.0' || chr(13) || chr(10) || "
            "'N:Family' || lpad(i::text, 5, '0') || ';Given;;;' || chr(13) || chr(10) || "
            "'TEL;type=CELL:555 ' || lpad(i::text, 5, '0') || chr(13) || chr(10) || "
            "'UID:gen-' || i || chr(13) || chr(10) || 'END:VCARD'"))
        cls.driver = harness.start_browser(None, 1280, 800)
        cls.page = Page(cls.driver)
        cls.page.sign_in(cls.user, cls.password)

    @classmethod
    def tearDownClass(cls):
        harness.stop_browser(cls.driver)

    def test_only_visible_rows_are_in_the_page(self):
        p = self.page
        self.assertEqual("%d contacts" % self.count, p.count_text())
        rows = len(self.driver.find_elements(By.CSS_SELECTOR, "#list .row"))
        self.assertGreater(rows, 5)
        self.assertLess(rows, 60)
        self.assertEqual("Given Family00001", p.names()[0])
        # The end of the list, by keyboard: the last card is drawn, the first no longer.
        p.js("document.getElementById('list').focus()")
        p.by_id("list").send_keys(Keys.END)
        p.wait(lambda: "Given Family%05d" % self.count in p.names(), "the last row")
        self.assertNotIn("Given Family00001", p.names())
        self.assertLess(len(self.driver.find_elements(By.CSS_SELECTOR, "#list .row")), 60)

    def test_search_and_select_all_found(self):
        p = self.page
        p.search("Family0299")
        self.assertEqual(["Given Family%05d" % i for i in range(2990, 3000)], p.names())
        self.assertEqual("10 of %d contacts match" % self.count, p.count_text())
        p.by_id("select-all").click()
        self.assertEqual("10 of %d contacts match, 10 selected" % self.count, p.count_text())
        p.by_id("select-all").click()
        p.search("")

    def test_phone_sized_window(self):
        p = self.page
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        try:
            p.wait(lambda: p.js("return innerWidth") == 390, "the narrow window")
            self.assertLessEqual(p.js("return document.documentElement.scrollWidth"), 390)
            row = self.driver.find_elements(By.CSS_SELECTOR, "#list .row")[0]
            for column in (".col-name", ".col-tel"):
                cell = row.find_element(By.CSS_SELECTOR, column)
                self.assertTrue(cell.is_displayed(), column)
                self.assertLessEqual(cell.rect["x"] + cell.rect["width"], 390)
            self.assertFalse(p.js("return getComputedStyle(document.querySelector('.list-head'))"
                                  ".display !== 'none'"))
            # Every control is reachable and none is wider than the window.
            widest = p.js("return Math.max(...[...document.querySelectorAll('button, input')]"
                          ".filter((e) => e.offsetParent).map((e) => e.getBoundingClientRect().right))")
            self.assertLessEqual(widest, 390)
        finally:
            self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def sample_card(name):
    """A card file as a phone or desktop program wrote it, from the shared sample folder."""
    folder = os.environ.get("LUMIDEX_VCARD_SAMPLES",
                            os.path.join(harness.SOURCE_DIR, "..", "shared", "vcards"))
    return os.path.realpath(os.path.join(folder, name))


def record(family, given, additional="", org="", title="", note="", **entries):
    card = {"name": {"family_name": family, "given_name": given, "additional_name": additional},
            "company": {"org": org, "title": title}, "note": note, "tel": [], "mail": []}
    card.update(entries)
    return json.dumps(card)


# Values as vCard text stores them: escaped commas, semicolons and line breaks.
ESCAPED = record("Richter\\, James", "John", org="ABC\\, Inc.;Accounting\\; Payroll", bday="19800321",
                 note="Line one\\nLine two\\, with comma\\; and semicolon",
                 adr=[{"key": "ADR", "cust_name": "ADR", "type": ["WORK"],
                       "data": ";;1 Main St\\nApt 2;Springfield\\, East;IL;62701;USA"}])


class ReadableContactsInBrowser(unittest.TestCase):
    """What people read and type: kinds instead of vCard words, text instead of escapes, a search
    over what the list shows, right-to-left text, a question before typing is thrown away, and
    edits that keep what a phone stored."""

    user = "fatima"
    phone_file = "iphone-ios5-v30-photo-crcrlf.vcf"

    @classmethod
    def setUpClass(cls):
        cls.password = secrets.token_urlsafe(12)
        SERVER.add_account(cls.user, cls.password)
        cls.client = harness.Client(SERVER)
        cls.client.login(cls.user, cls.password)
        tel = [{"key": "TEL", "cust_name": "TEL", "type": ["CELL"], "data": "+44 20 7946 0001"}]
        for card in (record("Lovelace", "Ada", "Augusta", "Analytical Engines", "Programmer", tel=tel),
                     record("Петров", "Иван"), record("Παπαδόπουλος", "Σωκράτης"),
                     record("Müller", "José", mail=[{"key": "EMAIL", "cust_name": "EMAIL",
                                                     "type": ["INTERNET"], "data": "jose@example.org"}]),
                     record("קישון", "אפרים", note="סופר ובמאי"), ESCAPED):
            status, reply = cls.client.api("add_card", {"user": cls.user, "card": card})
            assert reply.get("success"), (status, reply)
        cls.driver = harness.start_browser(None, 1280, 800)
        cls.page = Page(cls.driver)
        cls.page.sign_in(cls.user, cls.password)

    @classmethod
    def tearDownClass(cls):
        harness.stop_browser(cls.driver)

    def stored(self, word):
        [text] = [t for t in SERVER.card_texts(self.user) if word in t]
        return text

    def exported(self, family):
        [card] = [c for c in self.client.api("list_cards", {"user": self.user})[1]["data"]["cards"]
                  if c["name"]["family_name"] == family]
        path = "/webapi/entry.cgi?" + urllib.parse.urlencode(
            {"api": harness.CONTACTS_API, "version": "1", "method": "export_cards"})
        status, _, body = self.client.request(path, {"user": self.user, "id": json.dumps([card["resource_id"]])},
                                              {"X-CSRF-Token": self.client.csrf})
        self.assertEqual(200, status, body[:300])
        return re.split(r"\r\n|\r|\n", body.decode("utf-8"))

    def entry_with(self, kind, value):
        for entry in self.driver.find_elements(By.CSS_SELECTOR, "fieldset[data-kind=%s] .entry" % kind):
            if entry.find_element(By.CSS_SELECTOR, ".entry-data").get_attribute("value") == value:
                return entry
        raise AssertionError("no %s entry %r in the editor" % (kind, value))

    def test_1_text_and_kinds_survive_their_round_trips(self):
        # Over many texts: escaped parts joined and split again give the texts; every kind chosen
        # for many stored entries reads back as chosen and keeps the types the chooser does not
        # stand for, in their order.
        failures = self.page.js("""
            let seed = 7;
            const random = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n; };
            const letters = ['a', 'N', 'n', 'é', 'ש', ',', ';', '\\\\', '\\n', ' '];
            const bad = [];
            for (let i = 0; i < 3000; ++i) {
              const parts = [];
              for (let j = 0, count = 1 + random(4); j < count; ++j) {
                let text = '';
                for (let k = 0, length = random(8); k < length; ++k) text += letters[random(letters.length)];
                parts.push(text);
              }
              const value = parts.map(CardText.escape).join(';');
              const back = CardText.splitParts(value).map(CardText.unescape);
              if (JSON.stringify(back) !== JSON.stringify(parts)) bad.push(['text', parts, value, back]);
            }
            const stored = [['WORK', 'VOICE'], ['CELL', 'VOICE', 'pref'], ['HOME', 'FAX'], [], ['x-custom', 'INTERNET'],
              ['POSTAL', 'home', 'PARCEL'], ['PAGER']];
            const labels = [undefined, 'Home', 'Lab'];
            for (const kind of ['tel', 'mail', 'adr', 'url']) {
              const fixed = CardText.FIXED_LABEL[kind];
              for (const type of stored) for (const label of labels) {
                const entry = label ? {key: 'item1.' + fixed, cust_name: label, type, data: '1'}
                  : {key: fixed, cust_name: fixed, type, data: '1'};
                const before = CardText.kindOf(entry, kind, '');
                for (const chosen of CardText.KINDS[kind].concat(['custom'])) for (const preferred of [false, true]) {
                  const choice = {kind: chosen, label: chosen === 'custom' ? 'My, label' : '', preferred};
                  const after = CardText.applyKind(JSON.parse(JSON.stringify(entry)), kind, choice, before);
                  const read = CardText.kindOf(after, kind, '');
                  const plain = (list) => (list || []).filter((t) => !/^(pref|cell|mobile|iphone|home|work|main|fax|pager|other)$/i.test(t));
                  if (read.kind !== chosen || read.preferred !== preferred ||
                      (chosen === 'custom' && read.label !== 'My, label') ||
                      JSON.stringify(plain(after.type)) !== JSON.stringify(plain(type))) {
                    bad.push(['kind', kind, entry, choice, after, read]);
                  }
                }
                const untouched = CardText.applyKind(JSON.parse(JSON.stringify(entry)), kind, before, before);
                if (JSON.stringify(untouched) !== JSON.stringify(entry)) bad.push(['untouched', kind, entry, untouched]);
              }
            }
            return bad.slice(0, 5);""")
        self.assertEqual([], failures)

    def test_2_a_card_from_a_phone_shows_kinds(self):
        p = self.page
        p.js("document.getElementById('import-file').hidden = false;")
        p.by_id("import-file").send_keys(sample_card(self.phone_file))
        p.wait_notice("Imported 1 contact from %s." % self.phone_file)
        p.js("document.getElementById('import-file').hidden = true;")
        p.wait_list()
        [self.__class__.doe] = [n for n in p.names() if n.endswith(" Doe")]
        p.open_card(self.doe)
        kinds = p.kinds_shown()
        for value, kind in (("905-555-1234", "Mobile, preferred"), ("905-666-1234", "Home"),
                            ("905-777-1234", "Work"), ("905-888-1234", "Fax"), ("905-111-1234", "Pager"),
                            ("http://www.ibm.com", "Home, preferred")):
            self.assertEqual(kind, kinds.get(value), kinds)
        address_kinds = p.js("return [...document.querySelectorAll('#card-fields .entry-view')]"
                             ".filter((e) => e.firstChild.classList.contains('lines'))"
                             ".map((e) => e.lastChild.textContent)")
        # An address's X-ABADR text is no label.
        self.assertEqual(["Home, preferred", "Work"], address_kinds)
        self.assertIsNone(re.search(r"\b(CELL|VOICE|INTERNET|pref|PREF|HOME|WORK|FAX|PAGER|TYPE|type)\b",
                                    p.by_id("card-fields").text), p.by_id("card-fields").text)
        self.assertNotIn("Silicon Alley", address_kinds[0])
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)

    def test_3_editing_a_phone_keeps_what_the_phone_stored(self):
        p = self.page
        before = self.exported("Doe")
        p.open_editor(self.doe)
        work = self.entry_with("tel", "905-777-1234")
        self.assertEqual("Work", Select(work.find_element(By.CSS_SELECTOR, ".entry-kind")).first_selected_option.text)
        p.choose_kind(work, "Home")
        home = self.entry_with("tel", "905-666-1234").find_element(By.CSS_SELECTOR, ".entry-data")
        home.clear()
        home.send_keys("905-666-9999")
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to %s." % self.doe)
        after = self.exported("Doe")
        # The kind chosen replaced WORK and kept VOICE; the other number changed alone.
        phones = [line.upper() for line in after if line.upper().startswith("TEL")]
        self.assertIn("TEL;TYPE=HOME;TYPE=VOICE:905-777-1234", phones)
        self.assertIn("TEL;TYPE=HOME;TYPE=VOICE:905-666-9999", phones)
        self.assertNotIn("TEL;TYPE=HOME;TYPE=VOICE:905-666-1234", phones)
        photo = [line for line in before if line.upper().startswith("PHOTO")]
        self.assertEqual(1, len(photo))
        kept = photo + ["BDAY;value=date:2012-06-06", "N:Doe;John;Richter,James;Mr.;Sr.",
                        "item2.X-ABLabel:_$!<AssistantPhone>!$_", "item5.X-ABLabel:_$!<HomePage>!$_",
                        "item3.X-ABADR:Silicon Alley", "TEL;type=PAGER:905-111-1234"]
        self.assertEqual([], [line[:60] for line in kept if line not in before])
        self.assertEqual([], [line[:60] for line in kept if line not in after])
        p.open_card(self.doe)
        self.assertEqual("Home", p.kinds_shown().get("905-777-1234"))
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)

    def test_4_search_over_what_the_list_shows(self):
        p = self.page
        listings = p.api_requests("list_cards")
        for text, found in (("Ada Lovelace", ["Ada Augusta Lovelace"]), ("Lovelace, ADA", ["Ada Augusta Lovelace"]),
                            ("augusta", ["Ada Augusta Lovelace"]), ("ПЕТРОВ", ["Иван Петров"]),
                            ("ΠΑΠΑΔΟΠΟΥΛΟΣ σωκρατησ", ["Σωκράτης Παπαδόπουλος"]), ("jose muller", ["José Müller"]),
                            ("20-7946-0001", ["Ada Augusta Lovelace"]), ("engines programmer", ["Ada Augusta Lovelace"]),
                            ("ibm accounting", [self.doe]), ("JOSE@EXAMPLE", ["José Müller"]),
                            ("ada petrov", [])):
            p.search(text)
            self.assertEqual(found, p.names(), text)
        # The page answered from the contacts it holds.
        self.assertEqual(listings, p.api_requests("list_cards"))
        p.search("")

    def test_5_every_value_keeps_its_own_direction(self):
        p = self.page
        self.assertEqual([], p.js("return [...document.querySelectorAll('#list .row > span:not(.col-check)')]"
                                  ".filter((e) => e.dir !== 'auto').map((e) => e.className)"))
        hebrew = p.row("אפרים קישון").find_element(By.CSS_SELECTOR, ".col-name")
        self.assertTrue(p.js("return arguments[0].matches(':dir(rtl)')", hebrew))
        self.assertTrue(p.js("return arguments[0].matches(':dir(ltr)')",
                             p.row("Ada Augusta Lovelace").find_element(By.CSS_SELECTOR, ".col-name")))
        p.open_editor("אפרים קישון")
        self.assertEqual([], p.js("return [...document.querySelectorAll('#edit-dialog input:not([type=checkbox]),"
                                  " #edit-dialog textarea, #card-title, #card-fields dd > *')]"
                                  ".filter((e) => e.dir !== 'auto').map((e) => e.id || e.className)"))
        self.assertTrue(p.js("return document.getElementById('edit-note').matches(':dir(rtl)')"))
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        p.wait(lambda: not p.dialog_open("edit-dialog"), "the editor to close")

    def test_6_commas_semicolons_and_line_breaks_read_as_text(self):
        p = self.page
        lines = lambda text: [l for l in text.split("\r\n") if l.split(":")[0] in ("N", "ORG", "ADR;type=WORK", "NOTE")]  # noqa: E731,E741
        before = lines(self.stored("N:Richter"))
        self.assertEqual(4, len(before), before)
        p.open_card("John Richter, James")
        fields = p.by_id("card-fields").text
        for shown in ("ABC, Inc.", "Accounting; Payroll", "1 Main St\nApt 2\nSpringfield, East IL 62701\nUSA",
                      "Line one\nLine two, with comma; and semicolon", "Birthday\n1980-03-21"):
            self.assertIn(shown, fields)
        self.assertNotIn("\\", fields)
        p.by_id("card-edit").click()
        p.wait(lambda: p.dialog_open("edit-dialog"), "the editor")
        value = lambda element_id: p.by_id(element_id).get_attribute("value")  # noqa: E731
        self.assertEqual(["Richter, James", "ABC, Inc.", "Accounting; Payroll",
                          "Line one\nLine two, with comma; and semicolon"],
                         [value("edit-family"), value("edit-org"), value("edit-unit"), value("edit-note")])
        self.assertEqual("1 Main St\nApt 2",
                         self.driver.find_element(By.CSS_SELECTOR, "textarea.adr-part").get_attribute("value"))
        # Saved unchanged: stored as it was.
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to John Richter, James.")
        self.assertEqual(before, lines(self.stored("N:Richter")))

        # What a person types is stored as vCard text and reads back as typed.
        p.dismiss_notice()
        p.open_editor("John Richter, James")
        p.by_id("edit-family").clear()
        p.by_id("edit-family").send_keys("Smith, Jr.")
        p.by_id("edit-note").clear()
        p.by_id("edit-note").send_keys("a; b" + Keys.ENTER + "c, d \\ e")
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to John Richter, James.")
        p.wait_list()
        stored = self.stored("N:Smith").split("\r\n")
        self.assertIn("N:Smith\\, Jr.;John;;;", stored)
        self.assertIn("NOTE:a\\; b\\nc\\, d \\\\ e", stored)
        p.open_card("John Smith, Jr.")
        self.assertIn("a; b\nc, d \\ e", p.by_id("card-fields").text)
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)

    def test_7_the_editor_asks_before_throwing_typing_away(self):
        p = self.page
        before = SERVER.card_texts(self.user)
        p.open_editor("Ada Augusta Lovelace")
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)  # nothing typed: closes
        p.wait(lambda: not p.dialog_open("edit-dialog"), "the editor to close")
        self.assertFalse(p.dialog_open("confirm-dialog"))

        p.open_editor("Ada Augusta Lovelace")
        p.by_id("edit-note").send_keys("Met at the Society")
        p.by_id("edit-note").send_keys(Keys.ESCAPE)
        p.wait(lambda: p.dialog_open("confirm-dialog"), "the question")
        self.assertEqual("Discard your changes to Ada Augusta Lovelace?", p.by_id("confirm-text").text)
        p.by_id("confirm-no").click()  # keep editing
        p.wait(lambda: not p.dialog_open("confirm-dialog"), "the question to go")
        self.assertTrue(p.dialog_open("edit-dialog"))
        self.assertEqual("Met at the Society", p.by_id("edit-note").get_attribute("value"))
        self.driver.find_element(By.CSS_SELECTOR, "#edit-form .buttons [data-close]").click()  # Cancel
        p.wait(lambda: p.dialog_open("confirm-dialog"), "the question again")
        p.by_id("confirm-yes").click()  # discard
        p.wait(lambda: not p.dialog_open("edit-dialog"), "the editor to close")
        self.assertEqual(before, SERVER.card_texts(self.user))

    def test_8_a_card_changed_elsewhere_is_not_overwritten(self):
        p = self.page
        p.open_editor("Ada Augusta Lovelace")
        # A phone syncs a change to the card while the editor is open.
        [card] = [c for c in self.client.api("list_cards", {"user": self.user})[1]["data"]["cards"]
                  if c["name"]["family_name"] == "Lovelace"]
        card["note"] = "Changed on a phone"
        card["resource_name"] = card["id"]
        status, reply = self.client.api("edit_card", {"user": self.user, "card": json.dumps(card)})
        self.assertEqual({"success": True, "data": None}, reply, status)
        phone = self.entry_with("tel", "+44 20 7946 0001").find_element(By.CSS_SELECTOR, ".entry-data")
        phone.clear()
        phone.send_keys("+44 20 7946 0999")
        p.by_id("edit-save").click()
        p.wait(lambda: "changed elsewhere" in p.by_id("edit-error").text, "the refusal")
        # Nothing was saved over the phone's change; the editor shows the card as stored now.
        stored = self.stored("Lovelace")
        self.assertIn("NOTE:Changed on a phone", stored)
        self.assertIn("+44 20 7946 0001", stored)
        self.assertEqual("Changed on a phone", p.by_id("edit-note").get_attribute("value"))
        phone = self.entry_with("tel", "+44 20 7946 0001").find_element(By.CSS_SELECTOR, ".entry-data")
        phone.clear()
        phone.send_keys("+44 20 7946 0999")
        p.dismiss_notice()
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to Ada Augusta Lovelace.")
        stored = self.stored("Lovelace")
        self.assertIn("NOTE:Changed on a phone", stored)
        self.assertIn("+44 20 7946 0999", stored)


    def test_9_a_page_shown_again_after_its_session_ended_shows_nothing(self):
        # The password changed elsewhere, which ends every session; the browser then shows the
        # page again from its cache (the event it fires then).
        p = self.page
        SERVER.add_account(self.user, secrets.token_urlsafe(12), "passwd")
        p.js("window.dispatchEvent(new PageTransitionEvent('pageshow', {persisted: true}))")
        p.wait(lambda: self.driver.current_url.endswith("/login.html"), "the sign-in page")
        self.assertEqual(0, p.js("return document.querySelectorAll('#list .row').length"))


class SettingsInBrowser(unittest.TestCase):
    """The server settings page of "admin": errors land next to the field they concern."""

    @classmethod
    def setUpClass(cls):
        cls.password = secrets.token_urlsafe(12)
        SERVER.add_account("admin", cls.password)
        cls.driver = harness.start_browser(None, 1280, 800)
        cls.page = Page(cls.driver)
        cls.page.sign_in("admin", cls.password)

    @classmethod
    def tearDownClass(cls):
        harness.stop_browser(cls.driver)

    def open_settings(self):
        p = self.page
        p.by_id("nav-settings").click()
        p.wait(lambda: p.by_id("http-port").get_attribute("value") != "", "the settings")

    def save_with(self, http, https):
        p = self.page
        for field, value in (("http-port", http), ("https-port", https)):
            p.by_id(field).clear()
            p.by_id(field).send_keys(value)
        p.by_id("settings-save").click()

    def test_port_errors_next_to_their_fields(self):
        p = self.page
        self.open_settings()
        self.assertEqual("8008", p.by_id("http-port").get_attribute("value"))
        self.assertEqual("8443", p.by_id("https-port").get_attribute("value"))
        self.assertEqual([], p.unlabelled_fields())

        self.save_with("80", "8443")  # the appliance's web server has port 80
        p.wait(lambda: p.by_id("http-port-error").is_displayed(), "the HTTP port's error")
        self.assertIn("HTTP port conflict", p.by_id("http-port-error").text)
        self.assertEqual("true", p.by_id("http-port").get_attribute("aria-invalid"))
        self.assertFalse(p.by_id("https-port-error").is_displayed())
        self.assertFalse(p.by_id("settings-error").is_displayed())
        self.assertEqual(p.by_id("http-port"), self.driver.switch_to.active_element)

        self.save_with("8008", "22")
        p.wait(lambda: p.by_id("https-port-error").is_displayed(), "the HTTPS port's error")
        self.assertIn("HTTPS port conflict", p.by_id("https-port-error").text)
        self.assertFalse(p.by_id("http-port-error").is_displayed())

        # Not a port at all, or one port for both: the page says so itself and sends nothing.
        sent = p.api_requests("set")
        self.save_with("eighty", "8443")
        p.wait(lambda: p.by_id("http-port-error").is_displayed(), "the HTTP port's error")
        self.assertIn("number from 1 to 65535", p.by_id("http-port-error").text)
        self.save_with("8443", "8443")
        p.wait(lambda: p.by_id("https-port-error").is_displayed(), "the equal ports' error")
        self.assertEqual("The HTTPS port must differ from the HTTP port: the server cannot serve both on "
                         "port 8443.", p.by_id("https-port-error").text)
        self.assertFalse(p.by_id("http-port-error").is_displayed())
        self.assertEqual(p.by_id("https-port"), self.driver.switch_to.active_element)
        self.assertEqual(sent, p.api_requests("set"))

    def test_admin_opens_another_address_book(self):
        p = self.page
        client = harness.Client(SERVER)
        client.login("admin", self.password)
        status, reply = client.api("add_card", {"user": "erin", "card": json.dumps({
            "name": {"family_name": "Noether", "given_name": "Emmy", "additional_name": ""}})})
        self.assertEqual({"success": True, "data": None}, reply, status)
        p.by_id("nav-contacts").click()
        p.wait(lambda: p.by_id("book-form").is_displayed(), "the address book field")
        offered = p.js("return [...document.querySelectorAll('#book-users option')].map((o) => o.value)")
        self.assertTrue({"admin", "carol", "dora"} <= set(offered), offered)

        # A typo names no address book: the page says so and creates none unless asked to.
        p.by_id("book-user").clear()
        p.by_id("book-user").send_keys("eirn")
        self.assertEqual("No account and no address book is named eirn.", p.by_id("book-hint").text)
        p.by_id("book-user").send_keys(Keys.ENTER)
        p.wait(lambda: p.dialog_open("confirm-dialog"), "the question")
        self.assertEqual("There is no account and no address book named eirn. Create an empty address "
                         "book for eirn?", p.by_id("confirm-text").text)
        p.by_id("confirm-no").click()
        p.wait(lambda: not p.dialog_open("confirm-dialog"), "the question to go")
        self.assertEqual("", SERVER.guid("eirn"))

        # erin's book was made after this page asked; it opens without a question.
        p.by_id("book-user").clear()
        p.by_id("book-user").send_keys("erin" + Keys.ENTER)
        p.wait(lambda: p.count_text() == "1 contact", "erin's address book")
        self.assertEqual(["Emmy Noether"], p.names())
        self.assertFalse(p.dialog_open("confirm-dialog"))


def jpeg_size(data):
    """(width, height) from a JPEG's frame header."""
    at = 2
    while at + 9 < len(data):
        if data[at] != 0xFF:
            at += 1
            continue
        marker = data[at + 1]
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7 or marker == 0xFF:
            at += 1 if marker == 0xFF else 2
            continue
        length = int.from_bytes(data[at + 2:at + 4], "big")
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return (int.from_bytes(data[at + 7:at + 9], "big"), int.from_bytes(data[at + 5:at + 7], "big"))
        at += 2 + length
    raise AssertionError("no frame header in the JPEG")


def file_photo(path):
    """The bytes of the first PHOTO of a sample file, read on their own (unfolded, base64)."""
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    lines = [line for line in re.split(r"\r\n|\r|\n", text) if line != ""]
    logical = []
    for line in lines:
        if line[0] in " \t" and logical:
            logical[-1] += line[1:]
        else:
            logical.append(line)
    [photo] = [line for line in logical if re.match(r"^([\w-]+\.)?PHOTO[;:]", line, re.I)][:1]
    return base64.b64decode(re.sub(r"[^A-Za-z0-9+/=]", "", photo.split(":", 1)[1]))


# Groups as an Android phone and Google write them, and escapes the vCard text rules do not
# define (Gmail's \" and a \:), which read as the character after the backslash.
GROUP_CARDS = (
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Berger;Anna;;;\r\nFN:Anna Berger\r\nORG:Berger \\\"Bau\\\"\r\n"
    "TITLE:Chef\\: Planung\r\nCATEGORIES:myContacts,Familie\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Berger;Paul;;;\r\nFN:Paul Berger\r\nCATEGORIES:myContacts\r\n"
    "CATEGORIES:Chess\\, Go & more\r\nEND:VCARD\r\n")


class FacesGroupsAndSessionsInBrowser(unittest.TestCase):
    """Photos in the list and the card, groups to filter and change, escapes no program defines,
    and a page that notices when its session ended; over the shared sample cards."""

    user = "gina"
    photo_files = ("apple-addressbook-v30-photo-156k.vcf", "apple-addressbook-v30-japanese-photo.vcf",
                   "iphone-ios5-v30-photo-crcrlf.vcf", "blackberry-v21-photo-unfolded.vcf",
                   "outlook-german-v21-photo.vcf", "outlook-v21-qp-label-photo.vcf",
                   "aosp-v21-complicated-qp-empty-lines.vcf")
    other_files = ("v30-utf16le-bom-crlf.vcf", "google-gmail-v30-list-no-final-eol.vcf",
                   "google-gmail-v30-ablabel.vcf")

    @classmethod
    def setUpClass(cls):
        cls.password = secrets.token_urlsafe(12)
        SERVER.add_account(cls.user, cls.password)
        cls.client = harness.Client(SERVER)
        cls.client.login(cls.user, cls.password)
        cls.folder = tempfile.mkdtemp(prefix="lumidex-faces-")
        groups = os.path.join(cls.folder, "groups.vcf")
        with open(groups, "w", newline="") as f:
            f.write(GROUP_CARDS)
        # The record id of each photo card with its photo's size, read from the file itself.
        cls.photo_size = {}
        for path in [sample_card(name) for name in cls.photo_files + cls.other_files] + [groups]:
            before = {c["id"] for c in cls.listing(cls)}
            reply = cls.client.import_file(cls.user, path)
            assert reply.get("success") and not reply["data"]["refused"], (path, reply)
            if os.path.basename(path) in cls.photo_files:
                [new] = [c["id"] for c in cls.listing(cls) if c["id"] not in before]
                cls.photo_size[new] = list(jpeg_size(file_photo(path)))
        # Whether the server stores photos and groups (it lists version 2) or the pages read
        # them from version 1 records and offer no change of them.
        cls.writable = cls.client.api("list_cards", {"user": cls.user}, version=2)[1].get("success") is True
        # Tall enough for every row to be in view: only rows in view load their photo.
        cls.driver = harness.start_browser(None, 1280, 1400)
        cls.page = Page(cls.driver)
        cls.page.sign_in(cls.user, cls.password)

    @classmethod
    def tearDownClass(cls):
        harness.stop_browser(cls.driver)
        shutil.rmtree(cls.folder, ignore_errors=True)

    def listing(self):
        status, reply = self.client.api("list_cards", {"user": self.user})
        assert reply.get("success"), (status, reply)
        return reply["data"]["cards"]

    def faces(self):
        """Each row in the page: record id -> the drawn photo's size, or its initials."""
        return self.page.js(
            "return Object.fromEntries([...document.querySelectorAll('#list .row')].map((r) => {"
            " const img = r.querySelector('.col-photo img');"
            " return [r.item.id, img ? [img.naturalWidth, img.naturalHeight]"
            "   : r.querySelector('.col-photo .initials').textContent]; }))")

    def choose_group(self, text):
        Select(self.page.by_id("group-filter")).select_by_visible_text(text)
        self.page.wait_list()

    def test_1_photos_in_the_list_and_the_card(self):
        p = self.page
        p.wait(lambda: all(isinstance(self.faces().get(i), list) for i in self.photo_size), "the photos")
        faces = self.faces()
        self.assertEqual(self.photo_size, {i: faces[i] for i in self.photo_size})
        # No photo, or one given only as an outside address: initials, and nothing fetched from there.
        self.assertEqual("AS", faces[[c["id"] for c in self.listing() if c["name"]["given_name"] == "Arnold"][0]])
        self.assertEqual("FK", faces[[c["id"] for c in self.listing() if c["name"]["given_name"] == "Folker"][0]])
        self.assertEqual([], p.js("return performance.getEntriesByType('resource').map((e) => e.name)"
                                  ".filter((n) => !n.startsWith(location.origin))"))
        self.assertEqual(len(self.photo_size), p.js("return document.querySelectorAll('#list img').length"))
        # The card view draws the card's own photo.
        p.open_card("Test Inc.")
        p.wait(lambda: p.js("const i = document.querySelector('#card-photo img'); return !!i && i.complete"),
               "the card's photo")
        [test_inc] = [c["id"] for c in self.listing() if c["name"]["given_name"] == "Test"]
        self.assertEqual(self.photo_size[test_inc],
                         p.js("const i = document.querySelector('#card-photo img'); return [i.naturalWidth, i.naturalHeight]"))
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)

    def test_2_unknown_escapes_read_as_the_character(self):
        p = self.page
        p.search('"bau"')
        self.assertEqual(["Anna Berger"], p.names())
        self.assertEqual('Berger "Bau"', p.row("Anna Berger").find_element(By.CSS_SELECTOR, ".col-company").text)
        p.open_card("Anna Berger")
        self.assertIn("Chef: Planung", p.by_id("card-fields").text)
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)
        p.search("")
        # Gmail's card: its note holds \" and its web address http\://.
        [gmail] = [c for c in self.listing() if "Favotire" in c["note"]]
        p.js("return [...document.querySelectorAll('#list .row')].find((r) => r.item.id === arguments[0])",
             gmail["id"]).find_element(By.CSS_SELECTOR, ".col-name").click()
        p.wait(lambda: p.dialog_open("card-dialog"), "Gmail's card")
        fields = p.by_id("card-fields").text
        self.assertIn('"AS IS"', fields)
        self.assertIn("http://www.ibm.com", fields)
        self.assertNotIn("\\", fields)
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)
        # Another field changed in the editor: the stored escapes stay as they were.
        stored = lambda: [t for t in SERVER.card_texts(self.user) if "Anna" in t][0]  # noqa: E731
        before = stored()
        self.assertIn('\\"Bau\\"', before)
        p.open_editor("Anna Berger")
        self.assertEqual('Berger "Bau"', p.by_id("edit-org").get_attribute("value"))
        p.by_id("edit-note").send_keys("Met at the fair")
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to Anna Berger.")
        after = stored()
        self.assertIn("NOTE:Met at the fair", after)
        self.assertEqual(set(before.split("\r\n")), set(after.split("\r\n")) - {"NOTE:Met at the fair"})

    def test_3_groups_filter_and_change(self):
        p = self.page
        p.wait_list()
        total = len(self.listing())
        options = p.js("return [...document.getElementById('group-filter').options].map((o) => o.text)")
        self.assertEqual(["All contacts (%d)" % total, "Chess, Go & more (1)", "Familie (1)", "myContacts (2)",
                          "In no group (%d)" % (total - 2)], options)
        self.choose_group("Familie (1)")
        self.assertEqual(["Anna Berger"], p.names())
        self.assertEqual("1 of %d contacts match" % total, p.count_text())
        self.choose_group("myContacts (2)")
        self.assertEqual(["Anna Berger", "Paul Berger"], sorted(p.names()))
        p.search("paul")
        self.assertEqual(["Paul Berger"], p.names())
        p.search("")
        self.choose_group("In no group (%d)" % (total - 2))
        self.assertNotIn("Anna Berger", p.names())
        self.assertEqual(total - 2, len(p.names()))
        self.choose_group("All contacts (%d)" % total)
        p.open_card("Paul Berger")
        self.assertIn("Groups\nmyContacts, Chess, Go & more", p.by_id("card-fields").text)
        p.by_id("card-dialog").send_keys(Keys.ESCAPE)

        p.select("Arnold Smith", "Chris Beatle", "Doug White")
        if not self.writable:
            # The server cannot store groups yet: the page offers no change rather than send one
            # that it would not keep.
            self.assertFalse(p.by_id("group-add").is_enabled())
            self.assertIn("cannot change groups", p.by_id("group-add").get_attribute("title"))
            p.select("Arnold Smith", "Chris Beatle", "Doug White")
            return
        before = {c["id"]: c for c in self.listing()}
        p.by_id("group-add").click()
        p.wait(lambda: p.dialog_open("group-dialog"), "the group question")
        p.by_id("group-name").send_keys("Club; Chess, Inc." + Keys.ENTER)
        p.wait_notice('Added 3 contacts to "Club; Chess, Inc.".')
        stored = [t for t in SERVER.card_texts(self.user) if "CATEGORIES:Club\\; Chess\\, Inc." in t]
        self.assertEqual(3, len(stored))
        after = {c["id"]: c for c in self.listing()}
        changed = [i for i in before if before[i].get("etag") != after[i].get("etag")]
        self.assertEqual(3, len(changed))
        self.choose_group("Club; Chess, Inc. (3)")
        self.assertEqual(["Arnold Smith", "Chris Beatle", "Doug White"], sorted(p.names()))
        p.select("Arnold Smith", "Chris Beatle")  # Doug White stays selected
        p.by_id("group-remove").click()
        p.wait(lambda: p.dialog_open("group-dialog"), "the group question")
        p.by_id("group-ok").click()
        p.wait_notice('Removed 1 contact from "Club; Chess, Inc.".')
        p.wait(lambda: sorted(p.names()) == ["Arnold Smith", "Chris Beatle"], "the group without Doug White")
        self.assertNotIn("CATEGORIES", [t for t in SERVER.card_texts(self.user) if "Doug" in t][0])
        self.choose_group("All contacts (%d)" % total)
        p.select("Doug White")

    def test_4_a_photo_from_a_file(self):
        p = self.page
        # The page's own part: any image scaled to fit 512x512 as a JPEG; anything else refused
        # in words.
        result = self.driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const canvas = document.createElement('canvas');
            canvas.width = 800; canvas.height = 600;
            canvas.getContext('2d').fillRect(0, 0, 400, 300);
            canvas.toBlob(async (png) => {
              const out = [];
              for (const file of [new File([png], 'face.png', {type: 'image/png'}),
                                  new File(['not an image'], 'notes.png', {type: 'image/png'}),
                                  new File([new Uint8Array(21 * 1024 * 1024)], 'huge.jpg')]) {
                try {
                  const photo = await PhotoFile.jpegFrom(file);
                  out.push([photo.width, photo.height, atob(photo.base64).slice(0, 2) === '\\xff\\xd8']);
                } catch (error) {
                  out.push(error.message);
                }
              }
              done(out);
            }, 'image/png');""")
        self.assertEqual([512, 384, True], result[0])
        self.assertEqual('"notes.png" could not be read as an image. Choose a JPEG, PNG or GIF file.', result[1])
        self.assertIn('"huge.jpg" is too large', result[2])

        p.open_editor("Paul Berger")
        self.assertEqual(["myContacts", "Chess, Go & more"],
                         p.js("return [...document.querySelectorAll('#edit-groups .chip > span')].map((e) => e.textContent)"))
        if not self.writable:
            self.assertFalse(p.by_id("edit-photo-choose").is_enabled())
            self.assertEqual(0, len(self.driver.find_elements(By.CSS_SELECTOR, "#edit-groups .chip-remove")))
            self.assertTrue(p.by_id("edit-photo-hint").is_displayed())
            self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
            p.wait(lambda: not p.dialog_open("edit-dialog"), "the editor to close")
            return
        import vobject.base as vb
        props = lambda text: sorted((c.name, c.value) for c in vb.readOne(text).getChildren())  # noqa: E731
        stored = lambda: [t for t in SERVER.card_texts(self.user) if "FN:Paul Berger" in t][0]  # noqa: E731
        before = stored()
        png = os.path.join(self.folder, "face.png")
        with open(png, "wb") as f:
            f.write(base64.b64decode(self.driver.execute_script(
                "const c = document.createElement('canvas'); c.width = 1000; c.height = 700;"
                " c.getContext('2d').fillRect(0, 0, 10, 10); return c.toDataURL('image/png').split(',')[1];")))
        bad = os.path.join(self.folder, "notes.png")
        with open(bad, "w") as f:
            f.write("just notes")
        p.js("document.getElementById('edit-photo-file').hidden = false;")
        p.by_id("edit-photo-file").send_keys(bad)
        p.wait(lambda: p.by_id("edit-photo-error").is_displayed(), "the refusal of the file")
        p.by_id("edit-photo-file").send_keys(png)
        p.wait(lambda: p.js("return !!document.querySelector('#edit-photo img')"), "the new photo")
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to Paul Berger.")
        after = stored()
        [photo] = [line for line in after.replace("\r\n ", "").split("\r\n") if line.startswith("PHOTO")]
        self.assertTrue(photo.startswith("PHOTO;ENCODING=b;TYPE=JPEG:"), photo[:60])
        self.assertEqual((512, 358), jpeg_size(base64.b64decode(photo.split(":", 1)[1])))
        self.assertEqual(props(before), [x for x in props(after) if x[0] != "PHOTO"])
        p.wait_list()  # the saved card's row is drawn again
        p.open_editor("Paul Berger")
        p.by_id("edit-photo-remove").click()
        p.dismiss_notice()  # the same words as the first save's
        p.by_id("edit-save").click()
        p.wait_notice("Saved the changes to Paul Berger.")
        self.assertEqual(props(before), props(stored()))

    def test_5_a_page_notices_its_session_ended(self):
        # The password set again from the command line ends every session; the tab is then shown
        # again.
        p = self.page
        SERVER.add_account(self.user, secrets.token_urlsafe(12), "passwd")
        p.js("document.dispatchEvent(new Event('visibilitychange'))")
        p.wait(lambda: self.driver.current_url.endswith("/login.html?expired=1"), "the sign-in page")
        self.assertIn("Your session has ended", p.by_id("login-info").text)
        self.assertEqual(0, p.js("return document.querySelectorAll('#list .row, #card-fields dd').length"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
