#!/usr/bin/python3
"""The application as a whole: the library window, the editor, links handed over by later
launches, nearby computers and import, driven with xdotool on an Xvfb display and judged by
window titles, the library folder and the keychain.

Runs inside with-secret-service.sh, so that every launch, and secret-tool, meets the same private
session bus and keyring; each test gives the application a home of its own.

    library_window_test.py --app PATH/tessaral [unittest names...]

The Nearby class needs with-avahi-namespace.sh around that (root).
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop  # noqa: E402
from desktop import (capture, focus, keep, output, run, wait_for,  # noqa: E402
                     window_geometry, window_name)

APP = None
CONNECTED_SUFFIX = " · 1024 × 768"
KEYCHAIN_SERVICE = "org.tessaral.Tessaral.connection"
GREEN = (0x30, 0xA0, 0x30)

local = None  # the Xvfb display every application of this run shows its windows on


def setUpModule():
    global local
    if os.environ.get("TESSARAL_SECRET_SERVICE") != "running":
        raise AssertionError("run inside scripts/with-secret-service.sh")
    local = desktop.start_module_display()


def press(*keys):
    run(local, ["xdotool", "key", "--delay", "60"] + list(keys))


def type_text(text):
    run(local, ["xdotool", "type", "--delay", "40", text])


def click(x, y, repeat=1):
    run(local, ["xdotool", "mousemove", "--sync", str(x), str(y),
                "click", "--repeat", str(repeat), "--delay", "120", "1"])


def windows_named(regex):
    return desktop.visible_windows(local, regex)


def window_pid(window):
    result = run(local, ["xdotool", "getwindowpid", str(window)], check=False)
    return int(result.stdout) if result.returncode == 0 else None


class Home:
    """A user's folders of their own: the library lives in data/Tessaral."""

    def __init__(self, directory):
        self.root = os.path.join(directory, "home")
        self.folders = {name: os.path.join(self.root, name)
                        for name in ("HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                     "XDG_CACHE_HOME")}
        for folder in self.folders.values():
            os.makedirs(folder, exist_ok=True)
        self.library_folder = os.path.join(self.folders["XDG_DATA_HOME"], "Tessaral")
        self.library_file = os.path.join(self.library_folder, "Library.json")

    def env(self):
        return local.env(QT_QPA_PLATFORM="xcb", **self.folders)

    def connections(self):
        if not os.path.exists(self.library_file):
            return []
        with open(self.library_file, encoding="utf-8") as f:
            return json.load(f)["connections"]

    def thumbnail(self, connection_id):
        return os.path.join(self.library_folder, "Thumbnails", connection_id.upper() + ".png")


class App:
    """One `tessaral` process started with this home and these arguments."""

    count = 0

    def __init__(self, home, directory, *arguments):
        App.count += 1
        self.process = desktop.Process([APP] + list(arguments), env=home.env(),
                                       log=os.path.join(directory, f"tessaral-{App.count}.log"))

    @property
    def pid(self):
        return self.process.pid

    def check_running(self):
        if not self.process.running():
            raise AssertionError(f"the application exited with status "
                                 f"{self.process.popen.returncode}:\n"
                                 f"{self.process.log()[-3000:]}")

    def window(self, regex, what=None):
        def found():
            self.check_running()
            windows = windows_named(regex)
            return windows[0] if windows else None
        return wait_for(found, what or f"a window named {regex!r}")

    def wait_for_title(self, window, title, timeout=desktop.TIMEOUT, ending=False):
        def seen():
            self.check_running()
            name = window_name(local, window)
            return name.endswith(title) if ending else name == title
        try:
            wait_for(seen, f"the title {title!r}", timeout)
        except AssertionError as error:
            raise AssertionError(f"{error}; it is {window_name(local, window)!r}") from None

    def exit_status(self, timeout):
        try:
            return self.process.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        self.process.stop()


def start(test, home, directory, *arguments):
    app = App(home, directory, *arguments)
    test.addCleanup(app.stop)
    return app


def keychain_password(connection_id):
    result = subprocess.run(["secret-tool", "lookup", "service", KEYCHAIN_SERVICE,
                             "account", connection_id.upper()],
                            capture_output=True, timeout=desktop.TIMEOUT)
    return result.stdout.decode() if result.returncode == 0 else None


def bounding_box(image, matches, top=0):
    """(x, y, width, height) around every pixel at or below `top` for which matches(r, g, b)."""
    xs, ys = [], []
    for y in range(top, image.height):
        row = image.row(y)
        for x in range(image.width):
            if matches(*row[3 * x:3 * x + 3]):
                xs.append(x)
                ys.append(y)
    if not xs:
        return None
    return min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1


def is_card_blue(r, g, b):
    # The default tint of a card without a preview.
    return b > 180 and r < 140 and b - r > 80


def click_rightmost_label(window, image, top, bottom, what, gap=None):
    """Clicks the label whose ink reaches furthest right between rows `top` and `bottom` of the
    window's picture: the last button of a tool bar or of a row. With `gap`, only the ink before
    the first blank stretch that wide counts, which leaves out a status at the bar's far end."""
    ink = [(x, y) for y in range(top, bottom) for x in range(image.width)
           if sum(image.pixel(x, y)) < 200]
    columns = sorted({x for x, _ in ink})
    ends = [left for left, right in zip(columns, columns[1:]) if gap and right - left > gap]
    if ends:
        ink = [(x, y) for x, y in ink if x <= ends[0]]
    if not ink:
        raise AssertionError(f"{what} not found; see {keep(image, what.replace(' ', '-'))}")
    right = max(x for x, _ in ink)
    y = max(y for x, y in ink if x == right)
    wx, wy = window_geometry(local, window)[:2]
    click(wx + right - 20, wy + y)


def close_by_disconnect(window, screen_colour):
    """Clicks Disconnect, the session tool bar's last button, before the space that sets the
    protection apart: keys would go to the remote computer while its screen has the focus. The
    tool bar lies between the menu bar and the first row of the remote screen."""
    def screen_shown():
        image = capture(local, window)
        top = next((y for y in range(image.height) if image.pixel(image.width // 2, y) ==
                    screen_colour and image.pixel(10, y) == screen_colour), None)
        return (image, top) if top else None
    try:
        image, screen_top = wait_for(screen_shown, "the remote screen", interval=0.3)
    except AssertionError as error:
        raise AssertionError(f"{error}; see {keep(capture(local, window), 'session')}") from None
    click_rightmost_label(window, image, screen_top // 2, screen_top, "the session tool bar",
                          gap=100)


class LibraryAndSession(unittest.TestCase):
    """A computer added in the editor, opened with the password the keychain kept, closed into
    a preview on its card, and deleted with everything it left behind."""

    PASSWORD = "k3pt-in-keyring"

    def setUp(self):
        self.directory = desktop.temporary_directory()
        self.addCleanup(shutil.rmtree, self.directory, ignore_errors=True)
        self.home = Home(self.directory)
        self.remote = desktop.start_xvnc(self.directory, desktop.free_port(), "library-e2e",
                                         password=self.PASSWORD)
        self.addCleanup(self.remote.stop)
        run(self.remote, ["xsetroot", "-solid", "#%02x%02x%02x" % GREEN])

    def test_add_connect_with_saved_password_preview_and_delete(self):
        app = start(self, self.home, self.directory)
        library = app.window("^All Computers — ", "the library window")
        app.wait_for_title(library, "All Computers — 0 computers")

        focus(local, library)
        press("ctrl+n")
        editor = app.window("^New Connection$", "the editor")
        focus(local, editor)
        # Name, then the address with its port (split into the port field), then past the port,
        # the SSH gateway, the group and the user name to the password.
        type_text("Office")
        press("Tab")
        type_text(f"127.0.0.1:{self.remote.port}")
        press("Tab", "Tab", "Tab", "Tab", "Tab")
        type_text(self.PASSWORD)
        press("Return")
        app.wait_for_title(library, "All Computers — 1 computer")

        saved = wait_for(lambda: self.home.connections(), "the saved library")
        self.assertEqual(len(saved), 1, saved)
        computer = saved[0]
        self.assertEqual((computer["name"], computer["host"], computer["port"],
                          computer["origin"]), ("Office", "127.0.0.1", self.remote.port, "saved"))
        identifier = computer["id"]
        self.assertEqual(wait_for(lambda: keychain_password(identifier), "the saved password"),
                         self.PASSWORD)

        # The card, found by its colour, opens on a double click.
        card = wait_for(lambda: bounding_box(capture(local, library), is_card_blue, top=40),
                        "the card")
        lx, ly = window_geometry(local, library)[:2]
        click(lx + card[0] + card[2] // 2, ly + card[1] + card[3] // 2, repeat=2)

        session = app.window("^Office", "the session window")
        app.wait_for_title(session, CONNECTED_SUFFIX, ending=True)
        self.assertEqual(windows_named("^Sign In to |^Authentication Failed$"), [],
                         "a password was asked for although the keychain has it")

        close_by_disconnect(session, GREEN)
        wait_for(lambda: session not in windows_named("^Office"), "the session window to close")
        wait_for(lambda: os.path.exists(self.home.thumbnail(identifier)), "the preview file")

        def card_shows_preview():
            image = capture(local, library).crop(*card)
            green = sum(1 for y in range(image.height) for x in range(image.width)
                        if image.pixel(x, y) == GREEN)
            return green > image.width * image.height // 2
        try:
            wait_for(card_shows_preview, "the remote screen on the card")
        except AssertionError as error:
            raise AssertionError(f"{error}; see {keep(capture(local, library), 'card')}") \
                from None
        self.assertEqual([c["id"] for c in self.home.connections()], [identifier])

        # Selected by a click; Return in the confirmation would cancel, its default.
        focus(local, library)
        click(lx + card[0] + card[2] // 2, ly + card[1] + card[3] // 2)
        press("Delete")
        confirmation = app.window("^Delete “Office”\\?$", "the deletion confirmation")
        focus(local, confirmation)
        press("shift+Tab", "Return")
        app.wait_for_title(library, "All Computers — 0 computers")
        wait_for(lambda: self.home.connections() == [], "an empty library file")
        self.assertIsNone(keychain_password(identifier))
        self.assertFalse(os.path.exists(self.home.thumbnail(identifier)))
        self.assertIsNone(bounding_box(capture(local, library), lambda r, g, b: (r, g, b) == GREEN,
                                       top=40), "the card is still shown")


class Links(unittest.TestCase):
    """Later launches hand their links to the one process that owns the library."""

    def setUp(self):
        self.directory = desktop.temporary_directory()
        self.addCleanup(shutil.rmtree, self.directory, ignore_errors=True)
        self.home = Home(self.directory)
        self.remote = desktop.start_xvnc(self.directory, desktop.free_port(), "links-e2e")
        self.addCleanup(self.remote.stop)

    def test_a_link_opens_its_window_in_front_of_the_library(self):
        # A window manager decides the stacking and the focus, as on a desktop.
        manager = desktop.Process(["openbox", "--sm-disable"], env=self.home.env())
        self.addCleanup(manager.stop)
        wait_for(lambda: "window id" in output(local, ["xprop", "-root",
                                                       "_NET_SUPPORTING_WM_CHECK"]),
                 "the window manager")
        app = start(self, self.home, self.directory, f"vnc://127.0.0.1:{self.remote.port}")
        session = app.window(r"^127\.0\.0\.1", "the session window of the link")
        library = app.window("^All Computers — ", "the library window")
        app.wait_for_title(session, CONNECTED_SUFFIX, ending=True)

        def session_in_front():
            listed = output(local, ["xprop", "-root", "_NET_CLIENT_LIST_STACKING"])
            bottom_to_top = [int(w, 16) for w in re.findall(r"0x[0-9a-f]+", listed)]
            active = output(local, ["xdotool", "getactivewindow"], check=False)
            return bottom_to_top[-1:] == [session] and library in bottom_to_top and \
                active == str(session)
        wait_for(session_in_front, "the session window active on top of the library")

    def test_a_second_launch_hands_its_link_to_the_running_one_and_exits(self):
        owner = start(self, self.home, self.directory)
        library = owner.window("^All Computers — ", "the library window")

        link = f"vnc://127.0.0.1:{self.remote.port}"
        second = start(self, self.home, self.directory, link)
        self.assertEqual(second.exit_status(timeout=15), 0,
                         f"the second launch did not hand over:\n{second.process.log()[-2000:]}")

        session = owner.window(r"^127\.0\.0\.1", "the session window of the link")
        owner.wait_for_title(session, CONNECTED_SUFFIX, ending=True)
        self.assertEqual(window_pid(session), owner.pid)
        computers = wait_for(lambda: [c for c in self.home.connections()
                                      if c.get("origin") == "link"], "a link computer")
        self.assertEqual([(c["host"], c["port"]) for c in computers],
                         [("127.0.0.1", self.remote.port)])
        # The sidebar has gained Links, holding that computer.
        select_scope(library, "Links")
        self.assertEqual(window_name(local, library), "Links — 1 computer")

    def test_two_launches_at_once_leave_one_owner_with_both_links(self):
        port = self.remote.port
        first = start(self, self.home, self.directory, f"vnc://127.0.0.1:{port}")
        second = start(self, self.home, self.directory, f"vnc://localhost:{port}")

        # Whichever won, the other hands over and exits; both links open in the winner.
        def one_left():
            running = [app for app in (first, second) if app.process.running()]
            return running[0] if len(running) == 1 else None
        owner = wait_for(one_left, "exactly one tessaral to remain", timeout=30)
        other = second if owner is first else first
        self.assertEqual(other.exit_status(timeout=1), 0, other.process.log()[-2000:])

        windows = [owner.window(r"^127\.0\.0\.1", "the window of the first link"),
                   owner.window(r"^localhost", "the window of the second link")]
        for window in windows:
            owner.wait_for_title(window, CONNECTED_SUFFIX, ending=True)
            self.assertEqual(window_pid(window), owner.pid)
        # Still one owner a while later: the loser did not start over as a second one.
        time.sleep(2)
        self.assertTrue(owner.process.running())
        self.assertFalse(other.process.running())
        self.assertEqual(sorted(c["host"] for c in self.home.connections()),
                         ["127.0.0.1", "localhost"])


class Import(unittest.TestCase):
    COMPUTER = {
        "id": "6A0F7C52-3E1B-4B8E-9D7A-2C4F5E6A7B8C", "name": "Imported", "host": "192.0.2.44",
        "port": 5901, "username": "", "origin": "link", "symbol": "pc", "tint": "green",
        "createdAt": "2026-01-01T00:00:00Z",
        "options": {"commandMapping": "automatic", "observeOnly": False, "quality": "full",
                    "scaling": "fit", "shareClipboard": True, "sharedSession": True,
                    "showRemoteCursor": True},
    }

    def setUp(self):
        self.directory = desktop.temporary_directory()
        self.addCleanup(shutil.rmtree, self.directory, ignore_errors=True)
        self.home = Home(self.directory)

    def write(self, name, text):
        path = os.path.join(self.directory, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def import_file(self, app, library, path):
        """File ▸ Import… from the keyboard, then the path typed into the file panel."""
        focus(local, library)
        # Keys sent before the menu has grabbed the keyboard would move the sidebar instead.
        shown = set(windows_named(""))
        press("alt+f")
        wait_for(lambda: set(windows_named("")) - shown, "the File menu")
        press("Down", "Down", "Return")
        panel = app.window("^Import$", "the import panel")
        focus(local, panel)
        type_text(path)
        press("Return")

    def alert(self, app, title):
        alert = app.window(f"^{title}$", f"the alert {title!r}")
        shown = capture(local, alert)
        focus(local, alert)
        press("Return")
        wait_for(lambda: alert not in windows_named(f"^{title}$"), "the alert to close")
        return shown

    def test_a_library_file_adds_its_computer_and_anything_else_changes_nothing(self):
        app = start(self, self.home, self.directory)
        library = app.window("^All Computers — ", "the library window")
        app.wait_for_title(library, "All Computers — 0 computers")

        exported = self.write("one.json", json.dumps(
            {"version": 1, "groups": [], "connections": [self.COMPUTER]}))
        self.import_file(app, library, exported)
        self.alert(app, "Import Complete")
        app.wait_for_title(library, "All Computers — 1 computer")
        # Filed as saved under an id of its own.
        imported = self.home.connections()
        self.assertEqual([(c["name"], c["host"], c["port"], c["origin"]) for c in imported],
                         [("Imported", "192.0.2.44", 5901, "saved")])
        self.assertNotEqual(imported[0]["id"], self.COMPUTER["id"])

        with open(self.home.library_file, "rb") as f:
            before = f.read()
        stat = os.stat(self.home.library_file)
        junk = self.write("notes.json", "These are notes, not a library.\n")
        self.import_file(app, library, junk)
        self.alert(app, "Couldn’t Import")
        app.wait_for_title(library, "All Computers — 1 computer")
        with open(self.home.library_file, "rb") as f:
            self.assertEqual(f.read(), before)
        self.assertEqual(os.stat(self.home.library_file).st_mtime_ns, stat.st_mtime_ns)


def openssl(*arguments):
    return subprocess.run(["openssl"] + list(arguments), capture_output=True, check=True,
                          timeout=60).stdout.decode()


class SecureConnections(unittest.TestCase):
    """A server's self-signed certificate trusted once, remembered across launches, and refused
    loudly when another takes its place; and how the session window says each is protected."""

    TRUST_SHEET = "^Verify the Identity of “127.0.0.1”$"
    CHANGED_SHEET = "^The identity of “127.0.0.1” has changed$"

    def setUp(self):
        self.directory = desktop.temporary_directory()
        self.addCleanup(shutil.rmtree, self.directory, ignore_errors=True)
        self.home = Home(self.directory)
        self.port = desktop.free_port()

    def certificate(self, name):
        """A new self-signed certificate's file, its key's and its fingerprint."""
        cert, key = (os.path.join(self.directory, f"{name}-{part}.pem")
                     for part in ("cert", "key"))
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                "-out", cert, "-subj", "/CN=localhost",
                "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1")
        printed = openssl("x509", "-noout", "-fingerprint", "-sha256", "-in", cert)
        return cert, key, printed.strip().split("=", 1)[1]

    def serve(self, name, password=None, security_types="X509Vnc,X509None", options=()):
        remote = desktop.start_xvnc(self.directory, self.port, "secure-e2e", password=password,
                                    log_name=name, security_types=security_types,
                                    options=options)
        self.addCleanup(remote.stop)
        run(remote, ["xsetroot", "-solid", "#%02x%02x%02x" % GREEN])
        return remote

    def open(self):
        app = start(self, self.home, self.directory, f"vnc://127.0.0.1:{self.port}")
        return app, app.window(r"^127\.0\.0\.1", "the session window")

    def copied(self, sheet, tabs):
        """The text of the field `tabs` presses of Tab on from the sheet's focus, copied."""
        def clipboard():
            return output(local, ["xclip", "-o", "-selection", "clipboard"],
                          check=False).replace("\n", "")
        before = clipboard()
        focus(local, sheet)
        press(*(["Tab"] * tabs), "ctrl+a", "ctrl+c")
        return wait_for(lambda: clipboard() != before and clipboard(), "the copied text")

    def wait_for_lock(self, window, warning):
        """Until the remote screen is shown under bars with, or without, the orange warning."""
        def shown():
            image = capture(local, window)
            top = next((y for y in range(image.height)
                        if image.pixel(image.width // 2, y) == GREEN), None)
            orange = top and sum(1 for y in range(top) for x in range(image.width)
                                 if (lambda r, g, b: r > 200 and 110 < g < 190 and b < 80)(
                                     *image.pixel(x, y)))
            return top and (orange > 20) == warning
        wait_for(shown, "the warning lock" if warning else "the lock without a warning")

    def test_a_certificate_trusted_once_connects_and_another_is_refused_by_default(self):
        first_cert, first_key, first = self.certificate("first")
        remote = self.serve("Xvnc-first", options=["-X509Cert", first_cert, "-X509Key", first_key])
        app, session = self.open()
        app.wait_for_title(session, " — Identity Not Verified", ending=True)
        sheet = app.window(self.TRUST_SHEET, "the trust sheet")
        # Focus starts on Trust and Connect; the fingerprint is next.
        self.assertEqual(self.copied(sheet, 1), first)
        press("Return")
        app.wait_for_title(session, CONNECTED_SUFFIX, ending=True)
        self.wait_for_lock(session, warning=False)

        # A later launch finds the identity trusted and asks nothing.
        app.stop()
        app, session = self.open()
        app.wait_for_title(session, CONNECTED_SUFFIX, ending=True)
        self.assertEqual(windows_named(self.TRUST_SHEET), [])
        app.stop()

        remote.stop()
        second_cert, second_key, second = self.certificate("second")
        self.serve("Xvnc-second", options=["-X509Cert", second_cert, "-X509Key", second_key])
        app, session = self.open()
        app.wait_for_title(session, " — Identity Changed", ending=True)
        sheet = app.window(self.CHANGED_SHEET, "the changed-identity warning")
        # Focus starts on Cancel, then Trust New Identity, the old fingerprint and the new one.
        self.assertEqual(self.copied(sheet, 2), first)
        self.assertEqual(self.copied(sheet, 1), second)
        press("Return")
        wait_for(lambda: session not in windows_named(r"^127\.0\.0\.1"),
                 "Return to cancel and close the window")

    def test_anonymous_tls_with_a_password_is_encrypted_but_not_verified(self):
        # Xvnc's own default: VeNCrypt's TLSVnc, or VNC authentication.
        self.serve("Xvnc", password="tls-pw", security_types="TLSVnc,VncAuth")
        app, session = self.open()
        sheet = app.window("^Sign In to ", "the password sheet")
        focus(local, sheet)
        type_text("tls-pw")
        press("Return")
        app.wait_for_title(session, CONNECTED_SUFFIX, ending=True)
        self.wait_for_lock(session, warning=True)

    def test_damaged_trusted_identities_are_moved_aside_and_reported(self):
        os.makedirs(self.home.library_folder, exist_ok=True)
        damaged = os.path.join(self.home.library_folder, "Identities.json")
        with open(damaged, "w", encoding="utf-8") as f:
            f.write("{ not json")
        app = start(self, self.home, self.directory)
        app.window("^Trusted Identities Couldn’t Be Read$", "the alert")
        self.assertFalse(os.path.exists(damaged))


class Nearby(unittest.TestCase):
    """A computer published with avahi in the test namespace is listed and reachable."""

    SERVICE = "Tessaral Nearby Probe"

    def setUp(self):
        if os.environ.get("TESSARAL_AVAHI_DAEMON") != "running":
            raise AssertionError("run inside scripts/with-avahi-namespace.sh")
        self.directory = desktop.temporary_directory()
        self.addCleanup(shutil.rmtree, self.directory, ignore_errors=True)
        self.home = Home(self.directory)
        # Every interface of the namespace: its loopback and the link avahi announces on.
        self.remote = desktop.start_xvnc(self.directory, desktop.free_port(), "nearby-e2e",
                                         localhost=False)
        self.addCleanup(self.remote.stop)
        run(self.remote, ["xsetroot", "-solid", "#%02x%02x%02x" % GREEN])
        publisher = desktop.Process(["avahi-publish", "-s", self.SERVICE, "_rfb._tcp",
                                     str(self.remote.port)],
                                    log=os.path.join(self.directory, "avahi-publish.log"))
        self.addCleanup(publisher.stop)
        wait_for(lambda: "Established" in publisher.log() or not publisher.running(),
                 "the service to be published")
        self.assertTrue(publisher.running(), publisher.log())

    def test_a_published_service_is_listed_and_connect_reaches_it(self):
        app = start(self, self.home, self.directory)
        library = app.window("^All Computers — ", "the library window")
        select_scope(library, "Nearby")
        app.wait_for_title(library, "Nearby — 1 computer", timeout=30)
        connect_first_nearby(library)
        session = app.window(f"^{self.SERVICE}", "the session window")
        app.wait_for_title(session, CONNECTED_SUFFIX, ending=True, timeout=30)
        # Nothing is saved by connecting to a nearby computer.
        self.assertEqual(self.home.connections(), [])


def select_scope(library, title):
    """Walks down the sidebar from the keyboard, which has its focus in the library window, until
    the window's title starts with `title`."""
    focus(local, library)
    for _ in range(8):
        press("Down")
        try:
            # Section headings select nothing new, so a title that stays is no failure here.
            wait_for(lambda: window_name(local, library).startswith(title + " — "), title,
                     timeout=1.5)
            return
        except AssertionError:
            pass
    raise AssertionError(f"{title} never selected; the title is {window_name(local, library)!r}")


def connect_first_nearby(library):
    """Clicks Connect, the last button of the first row of the nearby list, whose white
    background starts below the tool bar."""
    image = capture(local, library)
    right = image.width - 8
    top = next((y for y in range(image.height) if image.pixel(right, y) == (255, 255, 255)),
               None)
    if top is None:
        raise AssertionError(f"no nearby list; see {keep(image, 'nearby')}")
    click_rightmost_label(library, image, top, top + 50, "the first nearby row")


def main():
    global APP
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    args, rest = parser.parse_known_args()
    APP = os.path.abspath(args.app)
    return desktop.run_tests(["Xvfb", "Xvnc", "vncpasswd", "xdotool", "xdpyinfo", "xwininfo",
                              "xprop", "xsetroot", "import", "secret-tool", "avahi-publish",
                              "openbox", "openssl", "xclip", APP], rest)


if __name__ == "__main__":
    sys.exit(main())
