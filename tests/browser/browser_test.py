#!/usr/bin/python3
"""The pages in a real browser: the whole job walked through the pages' own
links and forms, the cross-site guard seen from a second origin, every field
of every page given hostile text, and the pages' markup, labels, widths and
keyboard use.

Run one group:  /usr/bin/python3 tests/browser/browser_test.py JobWalk
Screenshots:    build/screens/NN-name.png (the walk), the other groups
                under their own prefixes.
"""

import glob
import os
import time
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import Browser, Sandbox, WebServer, submit_form  # noqa: E402

from selenium.common.exceptions import UnexpectedAlertPresentException  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402


class BrowserCase(unittest.TestCase):
    """One sandbox, one web server and one browser for a whole group; the
    group's tests run in order and build on each other's store."""

    width = 1400

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox()
        cls.server = None
        cls.browser = None
        try:
            cls.server = WebServer(cls.sandbox)
            cls.browser = Browser(cls.server, width=cls.width)
            cls.browser.sign_in()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.browser:
            cls.browser.quit()
        if cls.server:
            cls.server.stop()
        cls.sandbox.remove()

    @property
    def b(self):
        return self.browser

    def go_main(self):
        self.b.click_link("Main menu", self.b.find("header nav"))

    def assertMessages(self, expected):
        self.assertEqual(self.b.messages(), expected, self.b.title())


class JobWalk(BrowserCase):
    """An administrator's day, step by step, each step checked on the page
    and on disk, each page photographed in order."""

    def setUp(self):
        if not hasattr(JobWalk, "step"):
            JobWalk.step = 0
            for old in glob.glob(os.path.join(self.b.screens, "[0-9][0-9]-*.png")):
                os.remove(old)

    def shot(self, name):
        JobWalk.step += 1
        self.b.shot("%02d-%s" % (JobWalk.step, name))

    def test_00_login(self):
        status, _ = self.server.fetch(harness.PROGRAM, login=False)
        self.assertEqual(status, 401)
        self.assertIn(harness.USER, self.b.find("header .who").text)
        self.assertEqual(self.b.title(), "Larkspur - main menu")
        self.shot("main")

    def test_01_add_domain(self):
        self.b.open_details("Add a domain")
        self.shot("main-add-domain")
        submit_form(self.b, "add_domain", {
            "dname": "Shop.Example", "pp": "first-pass", "lusers": "50", "lalias": "20",
            "quota": "10000000S", "upop": True, "urelay": True})
        self.assertMessages(["Created Domain", "Domain postmaster added"])
        self.assertEqual(self.sandbox.assign()["shop.example"][0], "shop.example")
        self.assertEqual(self.sandbox.domain_file("shop.example", ".kestrel-limits"),
                         "maxpopaccounts: 50\nmaxaliases: 20\ndefault_quota: 10000000S\n"
                         "disable_pop\ndisable_external_relay\n")
        self.assertTrue(self.sandbox.password_is("shop.example", "postmaster", "first-pass"))
        self.shot("domain-created")

    def test_02_open_domain(self):
        submit_form(self.b, "view_domain", {"dname": "shop.example"})
        self.assertEqual(self.b.find("h1").text, "Domain shop.example")
        facts = self.b.find("dl.facts").text
        self.assertIn(self.sandbox.domain_dir("shop.example"), facts)
        self.assertEqual(self.b.find('input[name="lusers"]').get_attribute("value"), "50")
        self.assertTrue(self.b.find('input[name="upop"]').is_selected())
        self.assertFalse(self.b.find('input[name="uimap"]').is_selected())
        self.shot("domain-view")

    def test_03_change_domain(self):
        submit_form(self.b, "mod_domain", {"lusers": "60", "lalias": "", "llists": "3",
                                           "uimap": True, "urelay": False,
                                           "ppass": "second-pass"})
        self.assertMessages(["Postmaster password set"])
        self.assertEqual(self.sandbox.domain_file("shop.example", ".kestrel-limits"),
                         "maxpopaccounts: 60\nmaxmailinglists: 3\ndefault_quota: 10000000S\n"
                         "disable_pop\ndisable_imap\n")
        self.assertTrue(self.sandbox.password_is("shop.example", "postmaster", "second-pass"))
        self.assertEqual(self.b.find('input[name="lusers"]').get_attribute("value"), "60")
        self.shot("domain-changed")

    def test_04_add_alias(self):
        submit_form(self.b, "add_alias_domain", {"adname": "shop.example.net"})
        self.assertMessages(["Alias Domain Added"])
        self.assertEqual(self.sandbox.assign()["shop.example.net"][0], "shop.example")
        self.shot("alias-added")

    def test_05_list_domains(self):
        self.b.click_link("Domains", self.b.find("header nav"))
        body = self.b.find("body").text
        self.assertIn("shop.example.net Aliased to shop.example", body)
        self.assertEqual(self.b.title(), "List Domains")
        self.shot("domain-list")
        self.b.click_link("shop.example")
        self.assertEqual(self.b.find("h1").text, "Domain shop.example")

    def test_05a_domain_administrator(self):
        """Named in larkspur.scope, the same administrator loses the control
        files from the menu and is refused another domain."""
        scope = os.path.join(self.sandbox.root, "www/larkspur.scope")
        harness.write(scope, "%s shop.example\n" % harness.USER)
        try:
            self.go_main()
            self.assertNotIn("Control files", self.b.find("header nav").text)
            self.b.click_link("Domains", self.b.find("header nav"))
            self.assertIn("shop.example.net Aliased to shop.example", self.b.find("body").text)
            self.b.click_link("shop.example")
            self.go_main()
            submit_form(self.b, "view_domain", {"dname": "else.example"})
            self.assertMessages(["Domain else.example is not yours to manage"])
            self.shot("domain-administrator")
        finally:
            os.remove(scope)

    def test_06_add_mailbox(self):
        self.go_main()
        self.b.open_details("Add an account")
        submit_form(self.b, "add_user", {"eaddr": "Alice@Shop.Example", "fname": "Alice Liddell",
                                         "cpass": "alice-1", "quota": "5000000S",
                                         "uweb": True})
        self.assertMessages(["Email Account alice@shop.example created"])
        alice = self.sandbox.passwd("shop.example")["alice"]
        # Browsers send blanks as "+": the program reads them as blanks.
        self.assertEqual((alice[3], alice[4], alice[6]), ("4", "Alice Liddell", "5000000S"))
        self.assertTrue(self.sandbox.password_is("shop.example", "alice", "alice-1"))
        self.assertTrue(os.path.isdir(self.sandbox.real_path(alice[5]) + "/Maildir/new"))
        self.shot("account-created")

    def test_07_open_and_change_mailbox(self):
        self.go_main()
        submit_form(self.b, "view_user", {"eaddr": "alice@shop.example"})
        self.assertEqual(self.b.find("h1").text, "Account alice@shop.example")
        self.shot("account-view")
        submit_form(self.b, "mod_user", {"fname": "Alice Pleasance", "cpass": "alice-2",
                                         "quota": "NOQUOTA", "uweb": False, "uimap": True,
                                         "ukestrel": True})
        self.assertMessages(["Modify Account alice@shop.example success"])
        alice = self.sandbox.passwd("shop.example")["alice"]
        self.assertEqual((alice[3], alice[4], alice[6]),
                         (str(0x8 | 0x1000), "Alice Pleasance", "NOQUOTA"))
        self.assertTrue(self.sandbox.password_is("shop.example", "alice", "alice-2"))
        self.assertEqual(self.b.find('input[name="fname"]').get_attribute("value"),
                         "Alice Pleasance")
        self.assertTrue(self.b.find('input[name="ukestrel"]').is_selected())
        self.shot("account-changed")

    def test_07b_forward_and_vacation_reply(self):
        self.b.click_link("Forwards and vacation reply")
        self.assertEqual(self.b.find("h1").text, "Forwards and vacation reply: alice@shop.example")
        directory = self.sandbox.real_path(self.sandbox.passwd("shop.example")["alice"][5])
        submit_form(self.b, "mod_forward", {"forwards": "bob@else.example", "keep": True},
                    "Save forwards")
        self.assertMessages(["Forwards of alice@shop.example saved"])
        submit_form(self.b, "mod_vacation", {"vsubject": "Away until Monday",
                                             "vtext": "Back soon.\nAlice",
                                             "vuntil": "2030-08-31"}, "Save vacation reply")
        self.assertMessages(["Vacation reply of alice@shop.example saved"])
        with open(os.path.join(directory, ".qmail")) as qmail:
            lines = qmail.read().split("\n")
        self.assertTrue(lines[0].startswith("|") and lines[0].endswith("autorespond " +
                        self.sandbox.passwd("shop.example")["alice"][5]), lines)
        self.assertEqual(lines[1:], ["&bob@else.example", "./Maildir/", ""])
        with open(os.path.join(directory, "vacation", "message")) as message:
            self.assertEqual(message.read(), "Back soon.\nAlice")
        self.assertEqual(self.b.find('input[name="vsubject"]').get_attribute("value"),
                         "Away until Monday")
        self.shot("forward-and-vacation")
        # Both off again: the mailbox takes its mail as before.
        submit_form(self.b, "mod_vacation", {}, "Remove vacation reply")
        submit_form(self.b, "mod_forward", {}, "Remove forwards")
        self.assertMessages(["Forwards of alice@shop.example removed"])
        self.assertFalse(os.path.exists(os.path.join(directory, ".qmail")))
        self.b.click_link("Account alice@shop.example")

    def test_08_list_users(self):
        self.b.click_link("Accounts of shop.example")
        self.assertEqual(self.b.title(), "Show Users")
        rows = [r.text for r in self.b.find_all("tr")]
        self.assertTrue(any(r.startswith("alice No No NOQUOTA Yes") for r in rows), rows)
        self.assertTrue(any(r.startswith("postmaster ") for r in rows), rows)
        self.shot("account-list")
        self.b.click_link("alice")
        self.assertEqual(self.b.find("h1").text, "Account alice@shop.example")

    def test_09_delete_mailbox(self):
        directory = self.sandbox.real_path(self.sandbox.passwd("shop.example")["alice"][5])
        # Without the tick naming what goes, the browser keeps the request.
        form = self.b.form("del_user")
        self.assertIn("alice@shop.example", form.text)
        self.assertFalse(self.b.driver.execute_script("return arguments[0].checkValidity();", form))
        submit_form(self.b, "del_user", {"confirm": True})
        self.assertMessages(["Email Acount alice@shop.example deleted"])
        self.assertNotIn("alice", self.sandbox.passwd("shop.example"))
        self.assertFalse(os.path.exists(directory))
        self.shot("account-deleted")

    def test_10_control_files(self):
        self.b.click_link("Control files", self.b.find("header nav"))
        rows = self.b.find_all("table.list tbody tr")
        self.assertEqual(len(rows), 24)
        self.shot("control-files")
        self.b.click_link("smtpgreeting")
        self.assertEqual(self.b.find("h1").text, "Control file smtpgreeting")
        self.shot("control-file-new")
        submit_form(self.b, "modify_file", {"tarea": "mail.example.com ESMTP\r\nsecond"},
                    "Save file")
        self.assertMessages(["smtpgreeting updated successfully"])
        self.assertEqual(harness.read(self.sandbox.control("smtpgreeting")),
                         "mail.example.com ESMTP\nsecond\n")
        row = [r for r in self.b.find_all("table.list tbody tr")
               if r.text.startswith("smtpgreeting")][0]
        self.assertIn("mail.example.com ESMTP\nsecond", row.text)
        self.shot("control-file-saved")

    def test_11_delete_control_file(self):
        self.b.click_link("smtpgreeting")
        self.assertEqual(self.b.find("textarea").get_attribute("value"),
                         "mail.example.com ESMTP\nsecond\n")
        submit_form(self.b, "delete_file", {"confirm": True})
        self.assertFalse(os.path.exists(self.sandbox.control("smtpgreeting")))
        row = [r for r in self.b.find_all("table.list tbody tr")
               if r.text.startswith("smtpgreeting")][0]
        self.assertIn("default", row.text)
        self.shot("control-file-deleted")

    def test_11b_alias_and_catchall(self):
        self.b.click_link("Domains", self.b.find("header nav"))
        self.b.click_link("shop.example")
        form = self.b.form("set_catchall")
        self.b._click(self.b.find('input[name="ctype"][value="forward"]', form))
        submit_form(self.b, "set_catchall", {"caddr": "Desk@Else.Example"})
        self.assertMessages(["Catch-all set"])
        self.assertTrue(self.sandbox.domain_file("shop.example", ".qmail-default")
                        .endswith("/bin/tdelivermail '' desk@else.example\n"))
        self.assertTrue(self.b.find('input[name="ctype"][value="forward"]').is_selected())
        submit_form(self.b, "show_aliases", {})
        submit_form(self.b, "add_alias", {"aname": "Sales",
                                          "adest": "postmaster@shop.example\nboss@else.example"})
        self.assertMessages(["Alias sales@shop.example created"])
        self.assertEqual(self.sandbox.domain_file("shop.example", ".qmail-sales"),
                         "&postmaster@shop.example\n&boss@else.example\n")
        self.assertIn("sales@shop.example", self.b.find("table").text)
        self.shot("aliases")


        directory = self.sandbox.domain_dir("shop.example")
        self.go_main()
        submit_form(self.b, "del_domain", {"dname": "shop.example.net", "confirm": True})
        self.assertMessages(["Deleted Domain"])
        self.assertNotIn("shop.example.net", self.sandbox.assign())
        self.assertIn("shop.example", self.sandbox.assign())
        self.shot("alias-deleted")
        self.b.click_link("Domains", self.b.find("header nav"))
        self.b.click_link("shop.example")
        submit_form(self.b, "del_domain", {"confirm": True})
        self.assertMessages(["Deleted Domain"])
        self.assertEqual(self.sandbox.assign(), {})
        self.assertFalse(os.path.exists(directory))
        self.shot("domain-deleted")


FOREIGN_PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Another site</title></head>
<body>
<form id="add" method="post" action="{target}">
<input type="hidden" name="nav" value="add_domain">
<input type="hidden" name="dname" value="forged.example">
<input type="hidden" name="pp" value="forged-pass">
<button>Win a prize</button>
</form>
<form id="delete" method="post" action="{target}">
<input type="hidden" name="nav" value="delete_file">
<input type="hidden" name="file_name" value="rcpthosts">
<button>Claim it</button>
</form>
<p><a id="link" href="{target}?nav=delete_file&amp;file_name=rcpthosts">A link</a></p>
</body></html>
"""


class CrossSiteGuard(BrowserCase):
    """Another site the administrator's browser shows (here: the same
    loopback host on a second port) cannot drive the changing commands;
    the program's own forms can."""

    def setUp(self):
        self.target = self.server.origin + harness.PROGRAM
        harness.write(os.path.join(self.sandbox.root, "foreign/forge.html"),
                      FOREIGN_PAGE.format(target=self.target))
        self.rcpthosts = harness.read(self.sandbox.control("rcpthosts"))

    def open_foreign(self, host="127.0.0.1"):
        """The other site: the program's host on another port (the same
        site to a browser), or under the name localhost (another site)."""
        self.b.driver.get("http://%s:%d/forge.html" % (host, self.server.foreign_port))
        self.assertEqual(self.b.title(), "Another site")

    def assertRefused(self, command):
        self.assertEqual(self.b.title(), "Request failed")
        self.assertIn("Cross-site request refused", self.b.error_text())
        self.assertNotIn("forged.example", self.sandbox.assign())
        self.assertEqual(harness.read(self.sandbox.control("rcpthosts")), self.rcpthosts)
        last = self.sandbox.audit_lines()[-1]
        self.assertIn(command, last)
        self.assertIn("Cross-site request refused", last)

    def test_1_forged_forms_and_link_are_refused(self):
        for host in ("127.0.0.1", "localhost"):
            for form, command in (("add", "add_domain"), ("delete", "delete_file")):
                self.open_foreign(host)
                self.b.submit(self.b.find("form#" + form))
                self.assertRefused(command)
                self.b.shot("guard-refused-%s-%s" % (host, command))
            self.open_foreign(host)
            self.b.click_link("A link")
            self.assertRefused("delete_file")

    def test_2_own_forms_work(self):
        self.b.driver.get(self.target)
        self.b.open_details("Add a domain")
        submit_form(self.b, "add_domain", {"dname": "forged.example", "pp": "forged-pass"})
        self.assertMessages(["Created Domain", "Domain postmaster added"])
        self.assertIn("forged.example", self.sandbox.assign())
        self.b.click_link("Control files", self.b.find("header nav"))
        submit_form(self.b, "display_file", {"fname": "rcpthosts"})
        self.assertEqual(self.b.find("textarea").get_attribute("value"),
                         harness.read(self.sandbox.control("rcpthosts")))
        submit_form(self.b, "delete_file", {"confirm": True})
        self.assertFalse(os.path.exists(self.sandbox.control("rcpthosts")))
        self.assertIn("delete_file", self.sandbox.audit_lines()[-1])


MIXED = "<script>window.__lk=1</script>\"'><img src=x onerror=window.__lk=2> & %41 % Zoë 日本語"
LONG = ("<b>long</b> & " * 60)[:700]
ECHOES = ["<script>window.__lk=3</script>", "\"'><img src=x onerror=__lk=4>",
          "& %26 = % a=b&c", "Zoë Ünïcödé 日本語 ✓"]


def sent(text):
    """The text as the program receives it: browsers send blanks as "+"
    and a typed "+" as %2B, and the program reads both back as typed."""
    return text


def ascii_lower(text):
    return "".join(c.lower() if c.isascii() else c for c in text)


class HostileInput(BrowserCase):
    """Every field of every page given hostile text: it comes back as text,
    no script or dialog runs, and files gain no line nobody typed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for args in (("domain", "add", "sweep.example"),
                     ("user", "add", "bob@sweep.example", "bob-pass", "Bob")):
            result = cls.sandbox.tessera(*args)
            assert result.returncode == 0, result.stderr

    def assertSafe(self, what, frame="window"):
        """No dialog is open, no script of the text ran and no element of
        it was built, in the page or in the named frame of it."""
        try:
            ran, built, title = self.b.driver.execute_script(
                "const w = %s; return [w.__lk !== undefined, w.document.querySelectorAll("
                "'script, img, svg, iframe, [onerror], [onload]').length, w.document.title];"
                % frame)
        except UnexpectedAlertPresentException:
            self.fail("%s opened a dialog: %s" % (what, self.b.alert_text()))
        self.assertEqual((ran, built), (False, 0), what)
        self.assertTrue(title, what)

    # The pages, each opened through the pages' own links and forms.
    def open_main(self):
        self.b.driver.get(self.server.origin + harness.PROGRAM)

    def open_domain(self):
        self.open_main()
        submit_form(self.b, "view_domain", {"dname": "sweep.example"})

    def open_account(self):
        self.open_main()
        submit_form(self.b, "view_user", {"eaddr": "bob@sweep.example"})

    def open_controls(self):
        self.open_main()
        self.b.click_link("Control files", self.b.find("header nav"))

    def open_control_file(self):
        self.open_controls()
        self.b.click_link("me")

    def open_add_user(self):
        self.open_main()
        self.b.open_details("Add an account")
        submit_form(self.b, "add_user", {"eaddr": "bob@sweep.example"})

    def open_view_user(self):
        self.open_main()
        submit_form(self.b, "view_user", {"eaddr": "nobody@sweep.example"})

    def open_view_domain(self):
        self.open_main()
        submit_form(self.b, "view_domain", {"dname": "nothere.example"})

    def open_by_empty(self, nav, values, details=None):
        """The pages a browser only meets when a field is left out."""
        def opener():
            self.open_main()
            if details:
                self.b.open_details(details)
            form = self.b.form(nav)
            self.b.driver.execute_script(
                "arguments[0].querySelectorAll('[required]')"
                ".forEach(e => e.removeAttribute('required'));", form)
            submit_form(self.b, nav, values)
        return opener

    def pages(self):
        return [
            ("main", self.open_main), ("domain", self.open_domain),
            ("account", self.open_account), ("controls", self.open_controls),
            ("control-file", self.open_control_file), ("add-user", self.open_add_user),
            ("view-user", self.open_view_user), ("view-domain", self.open_view_domain),
            ("add-domain", self.open_by_empty("add_domain", {"dname": "x.example"},
                                              "Add a domain")),
            ("del-domain", self.open_by_empty("del_domain", {"dname": ""})),
            ("del-user", self.open_by_empty("del_user", {"eaddr": ""})),
        ]

    def test_1_every_field_of_every_page(self):
        """Each page is opened once; each of its forms, every field filled
        with hostile text, is sent into a frame added below the page, so the
        answers are checked without opening the page again for each form."""
        payload = MIXED + " " + LONG
        for page, opener in self.pages():
            opener()
            self.assertSafe(page)
            navs = self.b.driver.execute_script(
                "const f = document.createElement('iframe'); f.name = 'sweep';"
                "window.__loads = 0; f.onload = () => { window.__loads += 1; };"
                "document.body.appendChild(f);"
                "return [...document.forms].map(f => f.elements.nav.value);")
            for index, nav in enumerate(navs):
                what = "%s form %d (%s)" % (page, index, nav)
                loads = self.b.driver.execute_script(
                    "const form = document.forms[arguments[0]];"
                    "for (const e of form.elements) {"
                    "  if (e.type === 'checkbox') e.removeAttribute('required');"
                    "  if (e.name === 'nav' || !e.name || e.type === 'checkbox') continue;"
                    "  if (e.type !== 'textarea') e.type = 'text';"
                    "  e.removeAttribute('required'); e.value = arguments[1]; }"
                    "form.target = 'sweep'; const before = window.__loads;"
                    "form.requestSubmit(); return before;", index, payload)
                for _ in range(600):
                    try:
                        if self.b.driver.execute_script("return window.__loads;") > loads:
                            break
                    except UnexpectedAlertPresentException:
                        break
                    time.sleep(0.02)
                else:
                    self.fail("%s: no answer" % what)
                self.assertSafe(what, "frames.sweep")
            self.b.driver.execute_script("document.querySelector('iframe[name=sweep]').remove();")
            self.assertSafe(page)
            self.b.shot("sweep-" + page)
        self.assertEqual(sorted(self.sandbox.passwd("sweep.example")), ["bob"])
        self.assertEqual(sorted(self.sandbox.assign()), ["sweep.example"])

    def test_2_texts_come_back_as_text(self):
        for text in ECHOES:
            self.open_main()
            submit_form(self.b, "list_domains", {"dname": text})
            self.assertSafe(text)
            # The list page prints its fixed head without a character set,
            # so the browser reads its bytes as Latin-1: compare those.
            self.assertEqual(self.b.find("b").text.encode("cp1252", "replace"),
                             ("Domains containing " + sent(text)).encode("utf-8")
                             .decode("cp1252", "replace").encode("cp1252", "replace"))
            self.open_main()
            submit_form(self.b, "view_domain", {"dname": text})
            self.assertSafe(text)
            shown = ascii_lower(sent(text))
            self.assertEqual(self.b.messages(), ["Domain %s does not exist" % shown])
            self.assertEqual(self.b.find('input[name="dname"]').get_attribute("value"), shown)
            self.open_main()
            submit_form(self.b, "display_file", {"fname": text.replace(".", "")})
            self.assertSafe(text)
            if "." not in text:
                self.assertEqual(self.b.find("h1").text, "Control file " + sent(text))

    def test_3_account_fields(self):
        for text in ECHOES:
            self.open_account()
            submit_form(self.b, "mod_user", {"fname": text, "quota": "10MB"})
            self.assertSafe(text)
            self.assertEqual(self.b.messages(), ["Modify Account bob@sweep.example success"])
            bob = self.sandbox.passwd("sweep.example")["bob"]
            self.assertEqual((bob[3], bob[4], bob[6]), ("0", text, "10485760S"))
            self.assertEqual(self.b.find('input[name="fname"]').get_attribute("value"), text)
            self.assertIn(text, self.b.find("dl.facts").text)
        # A quota the store would not read as meant is refused; its text
        # comes back inert and nothing is stored.
        self.open_account()
        submit_form(self.b, "mod_user", {"quota": "<svg/onload=__lk=5>"})
        self.assertSafe("refused quota")
        self.assertEqual(self.b.messages(), ["quota not understood: <svg/onload=__lk=5>"])
        self.assertEqual(self.sandbox.passwd("sweep.example")["bob"][6], "10485760S")
        self.b.click_link("Accounts of sweep.example")
        self.assertSafe("account list")
        self.assertIn("10485760S", self.b.find("body").text)
        self.b.shot("sweep-account-list")
        lines = (self.sandbox.domain_file("sweep.example", "tpasswd") or "").splitlines()
        self.assertEqual(len(lines), 1)

    def test_4_limits_file_holds_only_what_was_typed(self):
        self.open_domain()
        values = dict(zip(("lusers", "lalias", "lfor", "lresponder", "llists", "quota"),
                          ECHOES + ["5&upop=&uimap=", "9%0Adisable_webmail"]))
        submit_form(self.b, "mod_domain", values)
        self.assertSafe("limits")
        keys = ("maxpopaccounts", "maxaliases", "maxforwards", "maxautoresponders",
                "maxmailinglists", "default_quota")
        expected = "".join("%s: %s\n" % (key, sent(value))
                           for key, value in zip(keys, values.values()))
        self.assertEqual(self.sandbox.domain_file("sweep.example", ".kestrel-limits"), expected)
        for name, value in values.items():
            if "%" not in value and " " not in value:
                self.assertEqual(self.b.find('input[name="%s"]' % name).get_attribute("value"),
                                 value)
        self.b.shot("sweep-limits")

    def test_5_control_file_text(self):
        text = "\n".join(ECHOES + ["</textarea><script>__lk=6</script>", LONG])
        self.open_control_file()
        submit_form(self.b, "modify_file", {"tarea": text})
        self.assertSafe("control file")
        stored = sent(text) + "\n"
        self.assertEqual(harness.read(self.sandbox.control("me")), stored)
        row = [r for r in self.b.find_all("table.list tbody tr") if r.text.startswith("me")][0]
        self.assertIn(sent(ECHOES[0]), row.text)
        self.b.shot("sweep-control-text")
        self.b.click_link("me")
        self.assertSafe("control file editor")
        self.assertEqual(self.b.find("textarea").get_attribute("value"), stored)


TEMPLATE_PAGES = [
    ("main", "?"), ("domain", "?nav=view_domain&dname=look.example"),
    ("account", "?nav=view_user&eaddr=carol@look.example"),
    ("controls", "?nav=show_controls"), ("control-file", "?nav=display_file&fname=me"),
    ("add-domain", "?nav=add_domain"), ("del-domain", "?nav=del_domain"),
    ("view-domain", "?nav=view_domain&dname=nothere.example"), ("add-user", "?nav=add_user"),
    ("del-user", "?nav=del_user"), ("view-user", "?nav=view_user"),
    ("request-error", "?nav=display_file&fname=a.b"),
] + [(name[:-5], "/show/" + name) for name in ("help.html", "error.html", "auth_failed.html")]
TEMPLATE_PAGES += [("routing", "?nav=view_routing&eaddr=carol@look.example"),
                   ("aliases", "?nav=show_aliases&dname=look.example")]
LIST_PAGES = [("list-domains", "?nav=list_domains"),
              ("list-users", "?nav=show_users&dname=look.example"),
              ("list-users-filtered", "?nav=show_users&dname=look.example&filter=CAR")]

# Markup that a label may name: every field a person fills in.
FIELDS = "input:not([type=hidden]), textarea, select"


class PageQuality(BrowserCase):
    """Every template page is valid HTML5 with a label on every field, fits
    a 400-pixel phone and a 1,400-pixel desktop without sideways scrolling,
    and the main flows work from the keyboard alone. The list pages keep
    their fixed bytes and take their look from the stylesheet."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for args in (("domain", "add", "look.example"),
                     ("domain", "alias", "look.example.net", "look.example"),
                     ("user", "add", "carol@look.example", "carol-pass", "Carol")):
            result = cls.sandbox.tessera(*args)
            assert result.returncode == 0, result.stderr

    def url(self, query):
        return harness.PROGRAM + query

    def test_1_template_pages_are_valid_html5(self):
        import html5lib
        for name, query in TEMPLATE_PAGES:
            status, text = self.server.fetch(self.url(query))
            self.assertEqual(status, 200, name)
            parser = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False)
            try:
                tree = parser.parse(text)
            except html5lib.html5parser.ParseError as error:
                self.fail("%s: %s\n%s" % (name, error, text))
            ids = [e.get("id") for e in tree.iter() if e.get("id")]
            self.assertEqual(len(ids), len(set(ids)), name)
            self.assertTrue(tree.find("head/title").text, name)
            self.assertIn(tree.get("lang"), ("en",), name)

    def test_2_every_field_has_a_label(self):
        for name, query in TEMPLATE_PAGES:
            self.b.driver.get(self.server.origin + self.url(query))
            unlabelled = self.b.driver.execute_script(
                "return [...document.querySelectorAll(arguments[0])]"
                ".filter(e => e.labels.length !== 1 || !e.labels[0].textContent.trim())"
                ".map(e => e.outerHTML);", FIELDS)
            self.assertEqual(unlabelled, [], name)
            crowded = self.b.driver.execute_script(
                "return [...document.querySelectorAll('label')]"
                ".filter(l => l.querySelectorAll(arguments[0]).length > 1)"
                ".map(l => l.outerHTML);", FIELDS)
            self.assertEqual(crowded, [], name)

    def test_3_pages_fit_narrow_and_wide_screens(self):
        for width in (400, 1400):
            self.b.driver.set_window_size(width, 900)
            for name, query in TEMPLATE_PAGES + LIST_PAGES:
                self.b.driver.get(self.server.origin + self.url(query))
                inner, scroll = self.b.driver.execute_script(
                    "return [window.innerWidth, document.documentElement.scrollWidth];")
                self.assertEqual(inner, width, name)
                self.assertLessEqual(scroll, inner, "%s is wider than %d pixels" % (name, width))
                self.b.shot("width-%d-%s" % (width, name))
        self.b.driver.set_window_size(1400, 1000)

    def test_4_list_pages_look_like_the_rest(self):
        self.b.driver.get(self.server.origin + self.url(TEMPLATE_PAGES[2][1]))
        style = "const s = getComputedStyle(arguments[0]); return [s.fontFamily, s.fontSize];"
        body_font = self.b.driver.execute_script(style, self.b.find("main dt"))
        link_colour = self.b.find("main .links a").value_of_css_property("color")
        background = self.b.find("body").value_of_css_property("background-color")
        for name, query in LIST_PAGES:
            status, text = self.server.fetch(self.url(query))
            self.assertTrue(text.startswith("<HTML><HEAD><TITLE>"), name)
            self.b.driver.get(self.server.origin + self.url(query))
            cells = self.b.find_all("td font, body > font")
            self.assertTrue(cells, name)
            for cell in cells:
                self.assertEqual(self.b.driver.execute_script(style, cell), body_font, name)
            links = self.b.find_all("td a, body > font > a")
            self.assertTrue(links, name)
            for link in links:
                self.assertEqual(link.value_of_css_property("color"), link_colour, name)
            self.assertEqual(self.b.find("body").value_of_css_property("background-color"),
                             background, name)
            for table in self.b.find_all("table"):
                self.assertEqual(table.value_of_css_property("border-collapse"), "collapse")

    def test_5_main_flows_by_keyboard(self):
        from selenium.webdriver.common.action_chains import ActionChains
        self.b.driver.get(self.server.origin + self.url("?"))

        def press(*keys):
            ActionChains(self.b.driver).send_keys(*keys).perform()

        def focused():
            return self.b.driver.switch_to.active_element

        def tab_to(css):
            """Tabs forward until the element is focused; all of them can be."""
            target = self.b.find(css)
            for _ in range(80):
                press(Keys.TAB)
                if focused() == target:
                    return target
            self.fail("%s cannot be reached with the Tab key" % css)

        # Every visible link, field and button lies on the Tab path.
        reachable = self.b.driver.execute_script(
            "return [...document.querySelectorAll('a, input:not([type=hidden]), button, summary')]"
            ".filter(e => e.checkVisibility()).length;")
        seen = set()
        for _ in range(reachable + 5):
            press(Keys.TAB)
            seen.add(focused().id)
        self.assertEqual(len(seen), reachable + 1)  # and the page itself

        # Open the add-domain section, fill it in and send it: keys only.
        tab_to("details summary")
        press(Keys.ENTER)
        tab_to('form input[name="nav"][value="add_domain"] ~ .fields input[name="dname"]')
        press("keys.example", Keys.TAB, "key-pass")
        old = self.b.find("html")
        press(Keys.ENTER)
        self.b.wait_for_new_page(old)
        self.assertMessages(["Created Domain", "Domain postmaster added"])
        self.assertIn("keys.example", self.sandbox.assign())

        # Open it, list its accounts and follow the row, all from the keyboard.
        tab_to('form input[name="nav"][value="view_domain"] ~ .row input[name="dname"]')
        press("keys.example")
        old = self.b.find("html")
        press(Keys.ENTER)
        self.b.wait_for_new_page(old)
        self.assertEqual(self.b.find("h1").text, "Domain keys.example")
        tab_to('input[name="nav"][value="show_users"] ~ button')
        old = self.b.find("html")
        press(Keys.ENTER)
        self.b.wait_for_new_page(old)
        self.assertEqual(self.b.title(), "Show Users")
        self.b.shot("keyboard-list-users")


if __name__ == "__main__":
    unittest.main(verbosity=2)
