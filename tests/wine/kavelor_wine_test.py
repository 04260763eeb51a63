#!/usr/bin/env python3
"""Kavelor.exe under Wine, on a virtual X display: what its users see at start.

Cases (one per ctest test; "prefix" prepares the Wine prefixes the others share):
  image            the PE facts Windows relies on: i386, GUI subsystem, asInvoker, common controls 6 and
                   per-monitor DPI awareness in the manifest, version 1.0.1, imports from system libraries
                   only (no Wine needed)
  prefix           two fresh prefixes: "bare" (no Kavfiltr service) and "installed" (the service created
                   with sc, as the product's installation does)
  missing-kavset   no Kavset.exe beside the program: the message of string 1116, nothing in the tray;
                   the message box is saved as a PNG and its Japanese text must render (not as empty boxes)
  missing-service  Kavset.exe beside it, no service: the message of string 1115, nothing in the tray
  running          both present: a window titled "Kavelor" and a tray icon, a screenshot of the window whose
                   button texts must render; a second start ends at once (exit code 1) without a second
                   window
  hidden           "/s": only the tray icon; a second start brings the hidden window forward
  window           with an empty device list: the five toolbar buttons with their Japanese texts (only
                   Version enabled: nothing selected, no help document) and each button's text in its tooltip,
                   the device list sharing its icon list (Kavelor destroys it) and saying in grey why it is
                   empty, the version dialog opens from its command and closes with OK, the title bar's close
                   hides the window and Kavelor keeps running, and the tray menu's Exit command ends the
                   process; screenshots of the window and of the version dialog. kavelor_probe.exe, built here
                   with mingw-w64 for the machine of the Kavelor under test, reads the buttons, their tooltips
                   and the list out of Kavelor's process and posts the commands the shell and the user would
  dpi              the window at 96 and at 144 DPI (the prefix's LogPixels): the button texts render at both,
                   and the window grows with the scale; screenshots of both

Which Kavelor runs is decided, not assumed: the 32-bit deliverable under 32-bit Wine when the kernel starts
a tiny 32-bit program and the 32-bit Wine loader is installed; else the win64 build of the same sources
stands in, and every case prints which one ran and why. Exit code 77 (skipped) when Wine, Xvfb or the build
is missing.
"""

import argparse
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

SKIP = 77
WINE_DIR = Path("/usr/lib/wine")
DLL_OVERRIDES = "mscoree,mshtml="  # no Mono or Gecko installer dialogs in a fresh prefix


class Skip(Exception):
    pass


def fail(message):
    print(f"kavelor wine test: FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def rc_string_table(source):
    """The STRINGTABLE of Kavelor.rc by symbol, as the file holds it."""
    strings = {}
    in_table = False
    for line in (source / "trayapp/res/Kavelor.rc").read_text(encoding="utf-8").splitlines():
        if line == "STRINGTABLE":
            in_table = True
        elif in_table and line == "END":
            break
        elif in_table:
            match = re.match(r'\s*(\w+)\s+"(.*)"\s*$', line)
            if match:
                strings[match.group(1)] = match.group(2).replace("\\n", "\n")
    return strings


def kavelor_strings(source):
    """The STRINGTABLE of Kavelor.rc by number, as the program's resources hold it."""
    ids = {}
    for line in (source / "trayapp/res/resource.h").read_text(encoding="utf-8").splitlines():
        match = re.match(r"#define\s+(\w+)\s+(\d+)\s*$", line)
        if match:
            ids[match.group(1)] = int(match.group(2))
    return {ids[symbol]: text for symbol, text in rc_string_table(source).items()}


def wine_debugstr(text):
    """A text as Wine's debug channels print it (debugstr_w)."""
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\n":
            out.append("\\n")
        elif ch in "\"\\":
            out.append("\\" + ch)
        elif 0x20 <= code < 0x7F:
            out.append(ch)
        else:
            out.append("\\%04x" % code)
    return 'L"' + "".join(out) + '"'


TINY32_EXIT = 32


def tiny32_elf():
    """The smallest 32-bit x86 Linux program: one loadable segment whose code is exit(32)."""
    import struct
    base = 0x08048000
    code = bytes([0xB8, 1, 0, 0, 0, 0xBB, TINY32_EXIT, 0, 0, 0, 0xCD, 0x80])  # mov eax,1; mov ebx,32; int 0x80
    size = 52 + 32 + len(code)
    header = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8) + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + 84, 52, 0, 0,
                                                                        52, 32, 1, 0, 0, 0)
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def kernel_runs_32bit(work):
    """Whether this machine's kernel starts 32-bit x86 programs (IA-32 emulation), tried rather than assumed."""
    program = Path(work) / "tiny32"
    program.write_bytes(tiny32_elf())
    program.chmod(0o755)
    try:
        return subprocess.run([str(program)], capture_output=True, timeout=10).returncode == TINY32_EXIT
    except OSError:  # "Exec format error": no IA-32 emulation
        return False


def loader_for(args):
    """The Wine loader, the Kavelor build to run and a line that says which ran: the 32-bit deliverable under
    32-bit Wine wherever that can run, else the win64 build of the same sources, with the reason."""
    if not (WINE_DIR / "wine64").exists() or shutil.which("Xvfb") is None:
        raise Skip("Wine (wine64) or Xvfb is not installed")
    exe32 = Path(args.exe32)
    exe64 = Path(args.exe64)
    missing = []
    if not kernel_runs_32bit(args.out):
        missing.append("this kernel cannot start 32-bit programs (a tiny 32-bit program was refused)")
    if not (WINE_DIR / "wine").exists():
        missing.append("32-bit Wine is not installed (wine32:i386)")
    if not exe32.exists():
        missing.append(f"{exe32} is not built")
    if not missing:
        return WINE_DIR / "wine", exe32, "the 32-bit deliverable under 32-bit Wine"
    if exe64.exists():
        return WINE_DIR / "wine64", exe64, "the win64 build of the same sources standing in for the 32-bit " \
            "deliverable: " + "; ".join(missing)
    raise Skip(f"no Kavelor.exe to run: {'; '.join(missing)}; {exe64} is not built")


class Display:
    """A private Xvfb display for one case."""

    def __init__(self):
        self.number = 100 + os.getpid() % 400
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(["Xvfb", f":{self.number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        socket = Path(f"/tmp/.X11-unix/X{self.number}")
        for _ in range(100):
            if socket.exists():
                return self
            time.sleep(0.05)
        raise RuntimeError("Xvfb did not start")

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=10)


class Wine:
    """Kavelor runs in one prefix on one display; everything it started ends with the case."""

    def __init__(self, loader, prefix, display, log_dir):
        self.loader = loader
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=str(prefix), DISPLAY=f":{display.number}",
                        WINEDLLOVERRIDES=DLL_OVERRIDES, LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8",
                        WINEDEBUG="trace+msgbox,trace+systray,-all")
        self.log_dir = log_dir
        self.started = []

    def install(self, folder, with_kavset, exe):
        target = self.prefix / "drive_c" / folder
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir(parents=True)
        shutil.copy(exe, target / "Kavelor.exe")
        if with_kavset:
            # Start-up only checks that the file is there; the registration tool itself is not run here.
            (target / "Kavset.exe").write_bytes(b"MZ")
        return f"C:\\{folder}\\Kavelor.exe"

    def start(self, program, *args, name):
        log = open(self.log_dir / f"kavelor-wine-{name}.log", "w")
        process = subprocess.Popen([str(self.loader), program, *args], env=self.env, stdout=log, stderr=log)
        self.started.append((process, log))
        return process

    def log(self, name):
        return (self.log_dir / f"kavelor-wine-{name}.log").read_text(errors="replace")

    def windows(self):
        """Top-level X windows: (id, title, width, height, viewable)."""
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=self.env, capture_output=True, text=True).stdout
        found = []
        for match in re.finditer(r'^\s+(0x[0-9a-f]+) "([^"]*)": \([^)]*\)\s+(\d+)x(\d+)', tree, re.M):
            info = subprocess.run(["xwininfo", "-id", match.group(1)], env=self.env, capture_output=True,
                                  text=True).stdout
            found.append((match.group(1), match.group(2), int(match.group(3)), int(match.group(4)),
                          "IsViewable" in info))
        return found

    def wait_for(self, predicate, seconds, what):
        deadline = time.time() + seconds
        while time.time() < deadline:
            result = predicate()
            if result:
                return result
            time.sleep(0.25)
        fail(f"timed out after {seconds} s waiting for {what}; windows: {self.windows()}")

    def kavelor_window(self, viewable=True, min_width=0):
        for window in self.windows():
            if window[1] == "Kavelor" and window[2] >= min_width and (window[4] or not viewable):
                return window
        return None

    def close(self):
        subprocess.run([str(WINE_DIR / "wineserver"), "-k"], env=self.env, capture_output=True)
        for process, log in self.started:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
            log.close()


def screenshot(wine, window_id, path):
    subprocess.run(["import", "-window", window_id, str(path)], env=wine.env, check=True, capture_output=True)
    return path


def gray_pixels(png):
    size = subprocess.run(["identify", "-format", "%w %h", str(png)], capture_output=True, text=True, check=True)
    width, height = (int(v) for v in size.stdout.split())
    raw = subprocess.run(["convert", str(png), "-colorspace", "gray", "-depth", "8", "gray:-"], capture_output=True,
                         check=True).stdout
    return width, height, raw


def toolbar_text_rows(png, ink=200):
    """The rows of the main window's button texts: the second band of rows with ink (the icons are the
    first), not counting lines drawn across the whole window. Disabled texts are grey, hence the light ink."""
    width, height, raw = gray_pixels(png)
    bands, start = [], None
    for y in range(height + 1):
        dark = sum(1 for v in raw[y * width:(y + 1) * width] if v < ink) if y < height else 0
        if 0 < dark < 0.9 * width:
            start = y if start is None else start
        elif start is not None:
            bands.append((start, y))
            start = None
    if len(bands) < 2:
        fail(f"no line of button texts under the toolbar's icons in {png}")
    return bands[1]


def glyph_shapes(png, rows=None, left_fraction=0.15, ink=128):
    """The ink shapes on a line of text (by default the text of a message box: right of the icon, above
    OK): how many differ, and how often the commonest recurs. Characters the font cannot show are all drawn
    as the same empty box, so a line of Japanese that renders has many distinct shapes, none of them
    recurring often; one that does not has one shape (the box) over and over."""
    width, height, raw = gray_pixels(png)
    top, bottom = rows if rows is not None else (0, int(height * 0.55))
    columns = []
    for x in range(int(width * left_fraction), width):
        columns.append(tuple(raw[y * width + x] < ink for y in range(top, bottom)))
    shapes, current = {}, []
    for column in columns + [()]:
        if any(column):
            current.append(column)
        elif current:
            key = hashlib.sha1(repr(current).encode()).hexdigest()
            shapes[key] = shapes.get(key, 0) + 1
            current = []
    return len(shapes), max(shapes.values(), default=0)


def tray_additions(log):
    return len(re.findall(r"Shell_NotifyIconW dwMessage = 0\b", log))


def message_text(log):
    match = re.search(r"MSGBOX_OnInit (L\".*\")", log)
    return match.group(1) if match else None


def case_image(args, strings):
    exe = Path(args.exe32)
    if not exe.exists():
        raise Skip(f"{exe} is not built (win32 preset)")
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if objdump is None:
        raise Skip("no i686-w64-mingw32-objdump")
    headers = subprocess.run([objdump, "-p", str(exe)], capture_output=True, text=True, check=True).stdout
    if "file format pei-i386" not in headers:
        fail("Kavelor.exe is not a PE32 i386 image")
    if not re.search(r"^Subsystem\s+00000002", headers, re.M):
        fail("Kavelor.exe is not a GUI program")
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    system = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "comctl32.dll",
              "ole32.dll", "setupapi.dll", "msvcrt.dll", "cfgmgr32.dll"}
    if not dlls <= system:
        fail(f"Kavelor.exe needs libraries a Windows machine does not have: {sorted(dlls - system)}")
    data = exe.read_bytes()
    if b'level="asInvoker"' not in data or b"Microsoft.Windows.Common-Controls" not in data or \
            b'version="6.0.0.0"' not in data:
        fail("the manifest does not ask for asInvoker and common controls 6")
    if b">PerMonitorV2, PerMonitor</dpiAwareness>" not in data or b">true/pm</dpiAware>" not in data:
        fail("the manifest does not declare per-monitor DPI awareness (v2, with the v1 and system fallbacks)")
    if "1.0.1".encode("utf-16-le") not in data:
        fail("the version record does not say 1.0.1")
    for text in (strings[1116], strings[1212], strings[1110]):
        if text.encode("utf-16-le") not in data:
            fail(f"string {text!r} is not in the program's string table")
    print(f"Kavelor.exe: PE32 i386, GUI, imports {sorted(dlls)}")


def case_prefix(args, loader):
    root = Path(args.work)
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    bare = root / "bare"
    env = dict(os.environ, WINEPREFIX=str(bare), WINEDLLOVERRIDES=DLL_OVERRIDES, WINEDEBUG="-all")
    with Display() as display:
        env["DISPLAY"] = f":{display.number}"
        started = time.time()
        subprocess.run([str(WINE_DIR / "wine64"), "wineboot", "-i"], env=env, capture_output=True, timeout=240,
                       check=True)
        subprocess.run([str(WINE_DIR / "wineserver"), "-w"], env=env, timeout=60)
        print(f"fresh prefix in {time.time() - started:.1f} s")
        installed = root / "installed"
        shutil.copytree(bare, installed, symlinks=True)
        env["WINEPREFIX"] = str(installed)
        created = subprocess.run([str(WINE_DIR / "wine64"), "sc", "create", "Kavfiltr", "type=", "kernel",
                                  "start=", "demand", "binPath=", "C:\\windows\\system32\\drivers\\Kavfiltr.sys"],
                                 env=env, capture_output=True, text=True, timeout=60)
        subprocess.run([str(WINE_DIR / "wineserver"), "-w"], env=env, timeout=60)
        if created.returncode != 0:
            fail(f"sc create failed: {created.stdout} {created.stderr}")


def prefix_of(args, name):
    prefix = Path(args.work) / name
    if not (prefix / "system.reg").exists():
        fail(f"the {name} prefix is missing (the prefix case prepares it)")
    return prefix


def installation_error(args, loader, exe, strings, with_kavset, text_id, name):
    with Display() as display:
        wine = Wine(loader, prefix_of(args, "bare"), display, Path(args.out))
        try:
            program = wine.install("Kavelor", with_kavset, exe)
            wine.start(program, name=name)
            box = wine.wait_for(lambda: wine.kavelor_window(), 60, "the message box")
            log = wine.wait_for(lambda: message_text(wine.log(name)) and wine.log(name), 10, "the message text")
            if message_text(log) != wine_debugstr(strings[text_id]):
                fail(f"message {message_text(log)} is not string {text_id} {wine_debugstr(strings[text_id])}")
            if tray_additions(log) != 0:
                fail("an icon was added to the tray although start-up failed")
            shot = screenshot(wine, box[0], Path(args.out) / f"kavelor-{name}.png")
            distinct, commonest = glyph_shapes(shot)
            print(f"message of string {text_id} shown: {distinct} distinct glyph shapes on its line, the commonest "
                  f"{commonest} times; {shot}")
            if distinct < 15 or commonest > 4:
                fail("the Japanese text does not render (the same empty box over and over; is a CJK font installed?)")
        finally:
            wine.close()


def case_running(args, loader, exe):
    with Display() as display:
        wine = Wine(loader, prefix_of(args, "installed"), display, Path(args.out))
        try:
            program = wine.install("Kavelor", True, exe)
            wine.start(program, name="running")
            window = wine.wait_for(lambda: wine.kavelor_window(min_width=300), 60, "the main window")
            wine.wait_for(lambda: tray_additions(wine.log("running")) == 1, 10, "the tray icon")
            time.sleep(1)
            shot = screenshot(wine, window[0], Path(args.out) / "kavelor-main-window.png")
            distinct, commonest = glyph_shapes(shot, toolbar_text_rows(shot), left_fraction=0, ink=200)
            print(f"main window {window[2]}x{window[3]}, tray icon added; button texts: {distinct} distinct glyph "
                  f"shapes, the commonest {commonest} times; {shot}")
            if distinct < 15 or commonest > 6:
                fail("the buttons' Japanese texts do not render (the same empty box over and over)")

            started = time.time()
            second = wine.start(program, name="running-second")
            code = second.wait(timeout=30)
            if code != 1:
                fail(f"the second start ended with {code}, not 1")
            mains = [w for w in wine.windows() if w[1] == "Kavelor" and w[4]]
            if len(mains) != 1:
                fail(f"{len(mains)} Kavelor windows after the second start")
            if tray_additions(wine.log("running-second")) != 0:
                fail("the second start added a tray icon")
            print(f"second start ended with 1 after {time.time() - started:.1f} s")
        finally:
            wine.close()


def case_hidden(args, loader, exe):
    with Display() as display:
        wine = Wine(loader, prefix_of(args, "installed"), display, Path(args.out))
        try:
            program = wine.install("Kavelor", True, exe)
            wine.start(program, "/s", name="hidden")
            wine.wait_for(lambda: tray_additions(wine.log("hidden")) == 1, 60, "the tray icon")
            time.sleep(2)
            if wine.kavelor_window(min_width=300) is not None:
                fail("the window is shown although Kavelor was started with /s")
            second = wine.start(program, name="hidden-second")
            code = second.wait(timeout=30)
            if code != 1:
                fail(f"the second start ended with {code}, not 1")
            window = wine.wait_for(lambda: wine.kavelor_window(min_width=300), 15, "the window brought forward")
            print(f"started hidden with only the tray icon; the second start brought {window[0]} forward")
        finally:
            wine.close()


def build_probe(args, loader):
    """kavelor_probe.exe from its source beside this script, for the machine of the Kavelor under test."""
    machine = "i686" if loader.name == "wine" else "x86_64"
    compiler = shutil.which(f"{machine}-w64-mingw32-gcc")
    if compiler is None:
        raise Skip(f"no {machine}-w64-mingw32-gcc to build kavelor_probe.exe")
    probe = Path(args.out) / f"kavelor_probe-{machine}.exe"
    source = Path(__file__).with_name("kavelor_probe.c")
    subprocess.run([compiler, "-municode", "-O1", "-Wall", "-Werror", "-o", str(probe), str(source)], check=True)
    return probe


def probe(wine, folder, *action):
    result = subprocess.run([str(wine.loader), f"C:\\{folder}\\kavelor_probe.exe", *action], env=wine.env,
                            capture_output=True, timeout=60)
    return result.returncode, result.stdout.decode("utf-8", errors="replace")


def start_with_probe(wine, args, loader, exe, name, *arguments):
    """Kavelor and the probe installed side by side; the probe must run under this Wine before Kavelor is
    looked at. The process and its main window."""
    program = wine.install("Kavelor", True, exe)
    shutil.copy(build_probe(args, loader), wine.prefix / "drive_c" / "Kavelor" / "kavelor_probe.exe")
    code, said = probe(wine, "Kavelor", "hello")
    if code != 0:
        fail(f"the probe does not run under {loader.name} (exit code {code})")
    print(said.strip())
    process = wine.start(program, *arguments, name=name)
    window = wine.wait_for(lambda: wine.kavelor_window(min_width=300), 60, "the main window")
    return process, window


def list_text_rows(png, below, ink=200):
    """The rows of a line of text in the device list: a band of rows with ink under row `below` (the end of
    the button texts), not counting the list's border lines."""
    width, height, raw = gray_pixels(png)
    start = None
    margin = 8  # the list's own border, down both sides
    for y in range(below + 1, height):
        dark = sum(1 for v in raw[y * width + margin:(y + 1) * width - margin] if v < ink)
        if 0 < dark < 0.5 * width:
            start = y if start is None else start
        elif start is not None:
            return start, y
    fail(f"no line of text in the empty device list of {png}")


def case_window(args, loader, exe, strings):
    out = Path(args.out)
    with Display() as display:
        wine = Wine(loader, prefix_of(args, "installed"), display, out)
        try:
            process, window = start_with_probe(wine, args, loader, exe, "window")

            expected = [(32776 + at, strings[1010 + at]) for at in range(5)]
            code, listing = wine.wait_for(lambda: (lambda r: r if r[0] == 0 and r[1].count("\n") >= 5 else None)(
                probe(wine, "Kavelor", "buttons")), 30, "the toolbar's buttons")
            buttons = [line.split("\t") for line in listing.splitlines() if line.strip()]
            found = [(int(b[0]), b[2]) for b in buttons]
            if found != expected:
                fail(f"toolbar buttons {found}, expected {expected}")
            enabled = {int(b[0]): b[1] == "1" for b in buttons}
            if enabled != {32776: False, 32777: False, 32778: False, 32779: True, 32780: False}:
                fail(f"enabled buttons {enabled}: with nothing selected and no help document only Version is")
            code, listing = probe(wine, "Kavelor", "tooltips")
            tips = [tuple(line.split("\t")) for line in listing.splitlines() if line.strip()]
            if code != 0 or [(int(c), t) for c, t in tips] != expected:
                fail(f"toolbar tooltips {tips} (probe exit code {code}), expected each button's text {expected}")
            code, listing = probe(wine, "Kavelor", "list")
            style, items = (int(v, 16) for v in listing.split())
            if not style & 0x0040:
                fail(f"the device list (style {style:#x}) would destroy the icon list that Kavelor destroys itself: "
                     "LVS_SHAREIMAGELISTS is missing")
            if items != 0:
                fail(f"{items} items in the device list of a machine without USB sticks")
            time.sleep(1)
            shot = screenshot(wine, window[0], out / "kavelor-window.png")
            print(f"toolbar: {found}; enabled {enabled}; tooltips are the buttons' texts; list style {style:#x}; "
                  f"{shot}")
            rows = list_text_rows(shot, toolbar_text_rows(shot)[1])
            distinct, commonest = glyph_shapes(shot, rows, left_fraction=0, ink=200)
            print(f"empty list: a line of {distinct} distinct glyph shapes (the commonest {commonest} times) in "
                  f"rows {rows}")
            if distinct < 12 or commonest > 4:
                fail("the empty device list does not say why it is empty")

            before = {w[0] for w in wine.windows() if w[4]}
            probe(wine, "Kavelor", "command", "32779")
            wine.wait_for(lambda: probe(wine, "Kavelor", "about")[1].rstrip().endswith("\t1"), 30, "the version dialog")
            dialog = wine.wait_for(lambda: [w for w in wine.windows() if w[4] and w[0] not in before], 15,
                                   "the version dialog's X window")
            time.sleep(1)
            shot = screenshot(wine, dialog[0][0], out / "kavelor-version-dialog.png")
            print(f"version dialog {dialog[0][2]}x{dialog[0][3]}; {shot}")
            probe(wine, "Kavelor", "close-about")
            wine.wait_for(lambda: probe(wine, "Kavelor", "about")[0] == 2, 30, "the version dialog to close")

            probe(wine, "Kavelor", "syscommand", str(0xF060))
            wine.wait_for(lambda: probe(wine, "Kavelor", "visible")[1].strip() == "0", 30, "the window to hide")
            time.sleep(1)
            if process.poll() is not None:
                fail(f"Kavelor ended ({process.returncode}) when its window was closed; it must stay in the tray")
            print("closing hid the window; Kavelor keeps running")

            probe(wine, "Kavelor", "command", "32774")
            try:
                code = process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                fail("Exit from the tray menu did not end Kavelor")
            if code != 0:
                fail(f"Kavelor ended with {code} after Exit, not 0")
            print("Exit ended the process with 0")
        finally:
            wine.close()


def case_dpi(args, loader, exe):
    """The window at 144 DPI (150 %): the prefix's screen DPI raised, a screenshot whose button texts render
    on their own line, and a window larger than at 96 DPI by about the scale."""
    out = Path(args.out)
    prefix = Path(args.work) / "installed-144"
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.copytree(prefix_of(args, "installed"), prefix, symlinks=True)
    with Display() as display:
        sizes = {}
        for dpi in (96, 144):
            wine = Wine(loader, prefix, display, out)
            try:
                subprocess.run([str(WINE_DIR / "wine64"), "reg", "add", "HKCU\\Control Panel\\Desktop", "/v",
                                "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"], env=wine.env,
                               capture_output=True, timeout=60, check=True)
                subprocess.run([str(WINE_DIR / "wineserver"), "-w"], env=wine.env, timeout=60)
                process, window = start_with_probe(wine, args, loader, exe, f"dpi-{dpi}")
                time.sleep(1)
                shot = screenshot(wine, window[0], out / f"kavelor-window-{dpi}dpi.png")
                rows = toolbar_text_rows(shot)
                distinct, commonest = glyph_shapes(shot, rows, left_fraction=0, ink=200)
                sizes[dpi] = (window[2], window[3])
                print(f"{dpi} DPI: window {window[2]}x{window[3]}, button texts in rows {rows} with {distinct} "
                      f"distinct glyph shapes; {shot}")
                if distinct < 15 or commonest > 6:
                    fail(f"the buttons' texts do not render at {dpi} DPI")
                probe(wine, "Kavelor", "command", "32774")
                process.wait(timeout=30)
            finally:
                wine.close()
        for axis in (0, 1):
            if sizes[144][axis] < 1.3 * sizes[96][axis]:
                fail(f"the window at 144 DPI {sizes[144]} is not scaled from the one at 96 DPI {sizes[96]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case")
    parser.add_argument("--source", required=True)
    parser.add_argument("--exe32", required=True)
    parser.add_argument("--exe64", required=True)
    parser.add_argument("--work", required=True, help="folder of the prepared prefixes")
    parser.add_argument("--out", required=True, help="folder for screenshots and logs")
    args = parser.parse_args()
    Path(args.out).mkdir(parents=True, exist_ok=True)
    strings = kavelor_strings(Path(args.source))
    try:
        if args.case == "image":
            case_image(args, strings)
            return
        loader, exe, which = loader_for(args)
        print(f"running {exe}: {which}")
        if args.case == "prefix":
            case_prefix(args, loader)
        elif args.case == "missing-kavset":
            installation_error(args, loader, exe, strings, False, 1116, "missing-kavset")
        elif args.case == "missing-service":
            installation_error(args, loader, exe, strings, True, 1115, "missing-service")
        elif args.case == "running":
            case_running(args, loader, exe)
        elif args.case == "hidden":
            case_hidden(args, loader, exe)
        elif args.case == "window":
            case_window(args, loader, exe, strings)
        elif args.case == "dpi":
            case_dpi(args, loader, exe)
        else:
            fail(f"unknown case {args.case}")
    except Skip as reason:
        print(f"kavelor wine test: skipped: {reason}")
        sys.exit(SKIP)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
