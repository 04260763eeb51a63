#!/usr/bin/env python3
"""Kavelor.exe under Wine, on a virtual X display: what its users see at start.

Cases (one per ctest test; "prefix" prepares the Wine prefixes the others share):
  image            the PE facts Windows relies on: i386, GUI subsystem, asInvoker and common controls 6
                   in the manifest, version 1.0.1, imports from system libraries only (no Wine needed)
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
                   Version enabled: nothing selected, no help document), the version dialog opens from its
                   command and closes with OK, the title bar's close hides the window and Kavelor keeps
                   running, and the tray menu's Exit command ends the process; screenshots of the window
                   and of the version dialog. kavelor_probe.exe, built here with mingw-w64, reads the
                   buttons out of Kavelor's process and posts the commands the shell and the user would

Where the machine's kernel cannot run 32-bit programs, the win64 build of the same sources stands in for
the 32-bit deliverable and the run says so. Exit code 77 (skipped) when Wine, Xvfb or the build is missing.
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


def loader_for(args):
    """The Wine loader and the Kavelor build to run: the 32-bit deliverable where the kernel runs 32-bit
    programs, else the win64 build of the same sources."""
    if not (WINE_DIR / "wine64").exists() or shutil.which("Xvfb") is None:
        raise Skip("Wine (wine64) or Xvfb is not installed")
    exe32 = Path(args.exe32)
    exe64 = Path(args.exe64)
    try:
        runs32 = subprocess.run([str(WINE_DIR / "wine"), "--version"], capture_output=True).returncode == 0
    except OSError:  # the kernel refuses 32-bit programs (no IA-32 emulation)
        runs32 = False
    if runs32 and exe32.exists():
        return WINE_DIR / "wine", exe32, "32-bit deliverable"
    if exe64.exists():
        return WINE_DIR / "wine64", exe64, "win64 build of the same sources (this kernel cannot run 32-bit programs)"
    raise Skip(f"no Kavelor.exe to run ({exe32} needs 32-bit Wine; {exe64} is not built)")


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


def build_probe(args):
    """kavelor_probe.exe from its source beside this script, for the win64 build's Wine."""
    compiler = shutil.which("x86_64-w64-mingw32-gcc")
    if compiler is None:
        raise Skip("no x86_64-w64-mingw32-gcc to build kavelor_probe.exe")
    probe = Path(args.out) / "kavelor_probe.exe"
    source = Path(__file__).with_name("kavelor_probe.c")
    subprocess.run([compiler, "-municode", "-O1", "-Wall", "-Werror", "-o", str(probe), str(source)], check=True)
    return probe


def probe(wine, folder, *action):
    result = subprocess.run([str(WINE_DIR / "wine64"), f"C:\\{folder}\\kavelor_probe.exe", *action], env=wine.env,
                            capture_output=True, timeout=60)
    return result.returncode, result.stdout.decode("utf-8", errors="replace")


def case_window(args, loader, exe, strings):
    if loader.name != "wine64":
        raise Skip("the probe is a 64-bit program; this case runs with the win64 build")
    probe_exe = build_probe(args)
    out = Path(args.out)
    with Display() as display:
        wine = Wine(loader, prefix_of(args, "installed"), display, out)
        try:
            program = wine.install("Kavelor", True, exe)
            shutil.copy(probe_exe, wine.prefix / "drive_c" / "Kavelor" / "kavelor_probe.exe")
            process = wine.start(program, name="window")
            window = wine.wait_for(lambda: wine.kavelor_window(min_width=300), 60, "the main window")

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
            time.sleep(1)
            shot = screenshot(wine, window[0], out / "kavelor-window.png")
            print(f"toolbar: {found}; enabled {enabled}; {shot}")

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
        print(f"running {exe} ({which})")
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
        else:
            fail(f"unknown case {args.case}")
    except Skip as reason:
        print(f"kavelor wine test: skipped: {reason}")
        sys.exit(SKIP)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    main()
