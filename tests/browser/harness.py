"""The program as an administrator meets it: lighttpd with HTTP basic
authentication serves the sandbox build of the CGI over a fresh sandbox
store on a free loopback port, and Debian's headless Chromium, driven through
chromedriver, clicks through the pages.

Nothing here downloads anything: the browser is /usr/bin/chromium and the
driver /usr/bin/chromedriver, both Debian packages, as is the Python module
(which is why the suite runs under /usr/bin/python3).

Environment:
  LARKSPUR_BUILD_DIR    the build folder (larkspur-sandbox.cgi, tessera, the
                        qmail stand-ins, the html/ folder that is served);
                        screenshots go to its screens/
  LARKSPUR_SOURCE_DIR   the checkout
  LARKSPUR_KEEP_SANDBOX keep the sandbox folder after the run
"""

import base64
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request
import warnings

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
LIGHTTPD = "/usr/sbin/lighttpd"
USER = "admin"
PASSWORD = "br0wser-s3cret"
PROGRAM = "/cgi-bin/larkspur/larkspur.cgi"
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage", "--hide-scrollbars", "--lang=en-US",
]


def build_dir():
    return os.environ.get("LARKSPUR_BUILD_DIR") or os.path.join(source_dir(), "build")


def source_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.environ.get("LARKSPUR_SOURCE_DIR") or os.path.dirname(os.path.dirname(here))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read(path, mode="r"):
    try:
        with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8",
                                                           "errors": "surrogateescape"})) as f:
            return f.read()
    except FileNotFoundError:
        return None


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


class Sandbox:
    """A store under a fresh root, the CGI's working folder and lighttpd's
    files: the same tree scripts/demo lays out."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="larkspur-browser-")
        try:
            self._lay_out()
        except Exception:
            shutil.rmtree(self.root, ignore_errors=True)
            raise

    def _lay_out(self):
        for d in ("usr/local/tessera/etc", "var/qmail/bin", "var/qmail/control",
                  "var/qmail/users", "www", "docroot/cgi-bin/larkspur", "foreign", "conf"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        for tool in ("qmail-newu", "qmail-newmrh"):
            shutil.copy2(os.path.join(build_dir(), tool), self.path("/var/qmail/bin/" + tool))
        write(self.path("/usr/local/tessera/etc/tlimits.default"), "maxpopaccounts: -1\n")
        control = {"me": "mail.example.com\n", "defaultdomain": "example.com\n",
                   "locals": "localhost\nmail.example.com\n", "rcpthosts": "localhost\n",
                   "concurrencyremote": "20\n"}
        for name, text in control.items():
            write(self.control(name), text)
        shutil.copytree(os.path.join(build_dir(), "html"), os.path.join(self.root, "www/html"))
        write(os.path.join(self.root, "www/larkspur.acl"), "admins * %s\n" % USER)
        cgi = os.path.join(self.root, "docroot", PROGRAM.lstrip("/"))
        write(cgi, "#!/bin/sh\ncd '%s' || exit 1\nLARKSPUR_ROOT='%s' exec '%s'\n" % (
            os.path.join(self.root, "www"), self.root,
            os.path.join(build_dir(), "larkspur-sandbox.cgi")), 0o755)
        write(os.path.join(self.root, "conf/users"), "%s:%s\n" % (USER, PASSWORD), 0o600)

    def path(self, absolute):
        return self.root + absolute

    def control(self, name):
        return self.path("/var/qmail/control/" + name)

    def assign(self):
        """users/assign as {name: (real domain, directory)}."""
        entries = {}
        for line in (read(self.path("/var/qmail/users/assign")) or "").splitlines():
            if not line.startswith("+"):
                continue
            fields = line.split(":")
            entries[fields[0][1:-1]] = (fields[1], fields[4])
        return entries

    def real_path(self, path):
        """A path the store wrote down: the sandbox program writes its
        paths with the root in front already."""
        return path if path.startswith(self.root + "/") else self.root + path

    def domain_dir(self, domain):
        entry = self.assign().get(domain)
        return self.real_path(entry[1]) if entry else None

    def domain_file(self, domain, name):
        directory = self.domain_dir(domain)
        return read(os.path.join(directory, name)) if directory else None

    def passwd(self, domain):
        """The domain's password lines as {user: [fields]}."""
        text = self.domain_file(domain, "tpasswd") or ""
        return {line.split(":")[0]: line.split(":") for line in text.splitlines() if line}

    def password_is(self, domain, user, clear):
        """Whether the account's crypted password is that of the text."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import crypt
        hashed = self.passwd(domain)[user][1]
        return crypt.crypt(clear, hashed) == hashed

    def audit_lines(self):
        return (read(self.path("/usr/local/tessera/etc/larkspur.log")) or "").splitlines()

    def tessera(self, *args):
        return subprocess.run([os.path.join(build_dir(), "tessera"), "--root", self.root, *args],
                              capture_output=True, text=True, timeout=60)

    def remove(self):
        if not os.environ.get("LARKSPUR_KEEP_SANDBOX"):
            shutil.rmtree(self.root, ignore_errors=True)


class WebServer:
    """lighttpd in the foreground: the program on one loopback port and, on a
    second port, a plain folder of pages that stands for another site."""

    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.process = None
        for _ in range(5):
            self.port, self.foreign_port = free_port(), free_port()
            if self.port == self.foreign_port:
                continue
            conf = self._write_config()
            self.process = subprocess.Popen([LIGHTTPD, "-D", "-f", conf],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self._wait_ready():
                return
            self.stop()
        raise RuntimeError("lighttpd did not start: " +
                           (read(os.path.join(sandbox.root, "conf/error.log")) or ""))

    @property
    def origin(self):
        return "http://127.0.0.1:%d" % self.port

    @property
    def foreign_origin(self):
        return "http://127.0.0.1:%d" % self.foreign_port

    def _write_config(self):
        root = self.sandbox.root
        conf = os.path.join(root, "conf/lighttpd.conf")
        write(conf, "\n".join([
            'server.modules = ("mod_access", "mod_alias", "mod_auth", "mod_authn_file", "mod_cgi")',
            'server.bind = "127.0.0.1"',
            "server.port = %d" % self.port,
            'server.document-root = "%s/docroot"' % root,
            'server.errorlog = "%s/conf/error.log"' % root,
            'mimetype.assign = (".css" => "text/css", ".html" => "text/html")',
            'alias.url = ("/images/larkspur/" => "%s/www/html/images/larkspur/")' % root,
            'auth.backend = "plain"',
            'auth.backend.plain.userfile = "%s/conf/users"' % root,
            'auth.require = ("/cgi-bin/" => ("method" => "basic", "realm" => "Larkspur",'
            ' "require" => "valid-user"))',
            '$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }',
            '$SERVER["socket"] == "127.0.0.1:%d" {' % self.foreign_port,
            '  server.document-root = "%s/foreign"' % root,
            "}",
            ""]))
        return conf

    def _wait_ready(self):
        for _ in range(100):
            if self.process.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    with socket.create_connection(("127.0.0.1", self.foreign_port), timeout=1):
                        return True
            except OSError:
                time.sleep(0.05)
        return False

    def fetch(self, path, login=True):
        """(status, body) of a GET straight to the program, no browser."""
        request = urllib.request.Request(self.origin + path)
        if login:
            token = base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
            request.add_header("Authorization", "Basic " + token)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(request, timeout=20) as response:
                return response.status, response.read().decode("utf-8", "replace")
        except urllib.error.HTTPError as error:
            return error.code, ""

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


class Browser:
    """Headless Chromium with a profile of its own, signed in to the program
    the way a person does: the login travels in the first address, and the
    browser keeps it for the rest of the site."""

    def __init__(self, server, width=1400, height=1000):
        self.server = server
        self.profile = tempfile.mkdtemp(prefix="larkspur-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + self.profile)
        options.add_argument("--window-size=%d,%d" % (width, height))
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_page_load_timeout(30)
        self.screens = os.path.join(build_dir(), "screens")
        os.makedirs(self.screens, exist_ok=True)

    def sign_in(self):
        self.driver.get("http://%s:%s@127.0.0.1:%d%s" % (USER, PASSWORD, self.server.port,
                                                         PROGRAM))

    def quit(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    # Looking at the page.

    def find(self, css, within=None):
        return (within or self.driver).find_element(By.CSS_SELECTOR, css)

    def find_all(self, css, within=None):
        return (within or self.driver).find_elements(By.CSS_SELECTOR, css)

    def messages(self):
        """The page's messages, one per line of the message box."""
        boxes = self.find_all("div.msg")
        if not boxes:
            return []
        return [line for line in boxes[0].text.split("\n") if line]

    def error_text(self):
        fails = self.find_all("p.fail")
        return fails[0].text if fails else None

    def source(self):
        return self.driver.page_source

    def title(self):
        return self.driver.title

    def alert_text(self):
        """The text of an open dialog (closing it), or None."""
        try:
            alert = self.driver.switch_to.alert
        except NoAlertPresentException:
            return None
        text = alert.text
        alert.dismiss()
        return text

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.screens, name + ".png"))

    # Acting on it.

    def click_link(self, text, within=None):
        links = [a for a in self.find_all("a", within) if a.text.strip() == text]
        if not links:
            raise AssertionError("no link %r on %s" % (text, self.title()))
        self._click(links[0])

    def form(self, nav, within=None):
        """The visible form whose hidden nav field names the command (one
        script call: a page holds many forms)."""
        form = self.driver.execute_script(
            "const forms = [...(arguments[1] || document).querySelectorAll('form')]"
            "  .filter(f => f.elements.nav && f.elements.nav.value === arguments[0]);"
            "return forms.find(f => f.checkVisibility()) || forms[0] || null;", nav, within)
        if form is None:
            raise AssertionError("no %s form on %s" % (nav, self.title()))
        return form

    def open_details(self, summary_text):
        for summary in self.find_all("summary"):
            if summary.text.strip() == summary_text:
                self._click(summary)
                return
        raise AssertionError("no section %r" % summary_text)

    def fill(self, form, values):
        """Types into text fields and sets check boxes (True/False)."""
        for name, value in values.items():
            field = self.find('[name="%s"]' % name, form)
            if isinstance(value, bool):
                if field.is_selected() != value:
                    self._click(field)
            elif field.get_attribute("type") == "hidden":
                self.driver.execute_script("arguments[0].value = arguments[1];", field, value)
            else:
                field.clear()
                if value:
                    field.send_keys(value)

    def submit(self, form, button_text=None):
        buttons = self.find_all("button", form)
        if button_text is not None:
            buttons = [b for b in buttons if b.text.strip() == button_text]
        if not buttons:
            raise AssertionError("no button %r in the form" % button_text)
        old = self.find("html")
        self._click(buttons[0])
        self.wait_for_new_page(old)

    def submit_hidden(self, form):
        """Sends a form whose button is out of sight (a closed section)."""
        old = self.find("html")
        self.driver.execute_script("arguments[0].requestSubmit();", form)
        self.wait_for_new_page(old)

    def wait_for_new_page(self, old, timeout=20):
        end = time.time() + timeout
        while time.time() < end:
            try:
                old.tag_name
            except Exception:
                if self.driver.execute_script("return document.readyState") == "complete":
                    return
            time.sleep(0.03)
        raise AssertionError("no new page after %ss" % timeout)

    def _click(self, element):
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", element)
        old = self.find("html")
        is_link = element.tag_name == "a"
        element.click()
        if is_link:
            self.wait_for_new_page(old)


def submit_form(browser, nav, values, button=None, within=None):
    form = browser.form(nav, within)
    browser.fill(form, values)
    browser.submit(form, button)
