#!/usr/bin/env python3
"""The setup program, Kavelor-1.0.1-setup.exe, and its uninstaller under Wine, in one fresh prefix, one step
per ctest test:

  prefix     a fresh 64-bit prefix with the setup program in C:\\, and beside it a setup program made from
             the same script and files but a Kavfiltr.sys that Windows will not load
  wizard     the wizard's first page on a virtual display: its screenshot, whose Japanese text must render
  refused    the unloadable driver's setup, silent: exit code 2 and nothing left behind (no service, driver,
             folder, Programs and Features entry, Start-menu folder or logon entry)
  install    silent (/S): exit code 0; the programs, the guide and a signed uninstaller in the folder, the
             driver in the driver folder, the Kavfiltr service (type 1, demand start) running, the
             Programs and Features entry, the Start-menu shortcuts and the logon entry with /s
  kavelor    Kavelor started through its Start-menu shortcut shows its window and tray icon, no message
  reinstall  the unloadable driver's setup over that installation: exit code 2, and the installation kept
             whole: service, earlier driver file, programs, uninstaller, entry, shortcuts, logon entry
  again      the real setup over the installation while a device's filter list names Kavfiltr: exit code 0,
             the installation whole and the list untouched
  keep       a device whose filter list names Kavfiltr and that Kavset cannot change there: the silent
             uninstaller ends with 2 and keeps everything, so the device would still start
  uninstall  the silent uninstaller ends with 0 and everything is gone
  cleanup    the prefix's Wine server stopped and the prefix removed

The uninstaller is run as an administrator deploying Kavelor runs it to learn its exit code: a copy outside
the folder with "/S _?=FOLDER" (started without "_?=", it hands over to a copy of itself and ends at once).
Where the kernel cannot run 32-bit programs, the win64 build of Kavelor's sources stands in for the installed
32-bit Kavelor.exe in the kavelor step. Exit code 77 (skipped) when Wine, makensis or the setup is missing.
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kavelor_wine_test as kavelor  # noqa: E402
import package_wine_test as package  # noqa: E402

NOT_DONE = 2
SETUP = "Kavelor-1.0.1-setup.exe"
REFUSED = "Refused-setup.exe"
FOLDER = "C:\\Program Files\\Kavelor"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kavelor"
RUN_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
PROGRAMS = package.PROGRAMS
Skip = package.Skip
require = package.require
wine = package.wine


def drive_c(prefix):
    return prefix / "drive_c"


def installed(prefix):
    return drive_c(prefix) / "Program Files" / "Kavelor"


def driver_file(prefix):
    return drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys"


def start_menu(prefix):
    return drive_c(prefix) / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Programs" / "Kavelor"


def registry_values(prefix, key):
    """The values of a registry key by name; None when there is no such key."""
    code, out = wine(prefix, "reg", "query", key)
    if code != 0:
        return None
    values = {}
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2]
    return values


def logon_entry(prefix):
    return (registry_values(prefix, RUN_KEY) or {}).get("Kavelor")


def run_setup(prefix, name, stop=True):
    if stop:
        package.stop_server(prefix)
    started = time.time()
    # Into a file: a driver host the setup started may outlive it, holding a pipe open.
    with open(prefix / f"{name}.log", "w") as log:
        code = subprocess.run([str(package.WINE), f"C:\\{name}", "/S"], env=package.environment(prefix),
                              stdout=log, stderr=log, timeout=180).returncode
    print(f"{name} /S ended with {code} after {time.time() - started:.1f} s")
    return code


def run_uninstaller(prefix):
    """The uninstaller, silent, from a copy outside the folder so that its exit code is its own."""
    package.stop_server(prefix)
    shutil.copy(installed(prefix) / "uninstall.exe", drive_c(prefix) / "uninstall-copy.exe")
    try:
        # cmd hands "_?=" on as typed: the folder must reach the uninstaller unquoted, as its last argument.
        code, out = wine(prefix, "cmd", "/c", f"C:\\uninstall-copy.exe /S _?={FOLDER}", timeout=180)
    finally:
        (drive_c(prefix) / "uninstall-copy.exe").unlink(missing_ok=True)
    print(f"uninstall.exe /S ended with {code}")
    return code


def require_nothing_installed(prefix):
    require(package.service_values(prefix) is None, "the Kavfiltr service is registered")
    require(not driver_file(prefix).exists(), "Kavfiltr.sys is in the driver folder")
    require(not installed(prefix).exists(), f"{installed(prefix)} is there")
    require(registry_values(prefix, UNINSTALL_KEY) is None, "Programs and Features lists Kavelor")
    require(not start_menu(prefix).exists(), "the Start-menu folder is there")
    require(logon_entry(prefix) is None, "Kavelor still starts at logon")


def require_installation(prefix, args):
    """The whole installation of the real setup program, as it installs it."""
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["unzip", "-q", args.archive, "-d", unpacked], check=True)
        shipped = Path(unpacked) / "Kavelor-1.0.1"
        for name in PROGRAMS:
            copy = installed(prefix) / name
            require(copy.exists() and copy.read_bytes() == (shipped / name).read_bytes(),
                    f"{copy} is not the archive's {name}")
        require(driver_file(prefix).exists() and driver_file(prefix).read_bytes() ==
                (shipped / "Kavfiltr.sys").read_bytes(), "Kavfiltr.sys in the driver folder is not the archive's")
    values = package.service_values(prefix)
    require(values is not None, "no Kavfiltr service")
    require(int(values.get("Type", "0"), 0) == 1 and int(values.get("Start", "0"), 0) == 3,
            f"the service is not a demand-start kernel driver: {values}")
    require((installed(prefix) / "uninstall.exe").exists(), "no uninstall.exe")
    entry = registry_values(prefix, UNINSTALL_KEY)
    require(entry is not None, "no Programs and Features entry")
    expected = {"DisplayName": "Kavelor", "DisplayVersion": "1.0.1", "Publisher": "Kavelor",
                "DisplayIcon": f"{FOLDER}\\Kavelor.exe,0", "InstallLocation": FOLDER,
                "UninstallString": f'"{FOLDER}\\uninstall.exe"',
                "QuietUninstallString": f'"{FOLDER}\\uninstall.exe" /S'}
    wrong = {name: entry.get(name) for name, value in expected.items() if entry.get(name) != value}
    require(not wrong, f"Programs and Features entry: {wrong}, expected {expected}")
    require(int(entry.get("EstimatedSize", "0"), 0) >= 500, f"estimated size {entry.get('EstimatedSize')} KiB")
    for link in ("Kavelor.lnk", "Kavelor ユーザーガイド.lnk"):
        require((start_menu(prefix) / link).exists(), f"no Start-menu shortcut {link}")
    require(logon_entry(prefix) == f'"{FOLDER}\\Kavelor.exe" /s', f"logon entry: {logon_entry(prefix)}")


def make_refused_setup(args, prefix):
    """The setup program from the same script and files, with a Kavfiltr.sys Windows will not load."""
    with tempfile.TemporaryDirectory() as work:
        stage = Path(work) / "stage"
        subprocess.run(["unzip", "-q", args.archive, "-d", work], check=True)
        (Path(work) / "Kavelor-1.0.1").rename(stage)
        (stage / "Kavfiltr.sys").write_bytes(b"MZ" + bytes(range(256)) * 16)
        # A guide of its own, so that an earlier installation's programs are seen to be put back.
        with open(stage / "Kavelor.pdf", "ab") as guide:
            guide.write(b"\n% refused\n")
        subprocess.run([sys.executable, str(Path(args.source) / "trayapp" / "res" / "draw_pictures.py"), work],
                       check=True, capture_output=True)
        done = subprocess.run(["makensis", "-WX", "-V2", f"-DSTAGE={stage}",
                               f"-DOUTFILE={drive_c(prefix) / REFUSED}", f"-DICON={Path(work) / 'Kavelor.ico'}",
                               str(Path(args.source) / "package" / "Kavelor.nsi")], capture_output=True, text=True)
        require(done.returncode == 0, f"makensis: {done.stdout}{done.stderr}")


def case_prefix(args, prefix):
    if not Path(args.setup).exists() or not Path(args.archive).exists():
        raise Skip(f"{args.setup} or {args.archive} is missing (scripts/run-main.sh builds them)")
    if shutil.which("makensis") is None:
        raise Skip("no makensis")
    shutil.rmtree(prefix, ignore_errors=True)
    prefix.parent.mkdir(parents=True, exist_ok=True)
    started = time.time()
    code, _ = wine(prefix, "wineboot", "--init", timeout=240)
    package.stop_server(prefix)
    require(code == 0, f"wineboot ended with {code}")
    shutil.copy(args.setup, drive_c(prefix) / SETUP)
    make_refused_setup(args, prefix)
    print(f"fresh prefix with {SETUP} and {REFUSED} in {time.time() - started:.1f} s")


def case_wizard(args, prefix):
    if shutil.which("Xvfb") is None:
        raise Skip("no Xvfb")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    package.stop_server(prefix)
    with kavelor.Display() as display:
        session = kavelor.Wine(package.WINE, prefix, display, out)
        try:
            before = {w[0] for w in session.windows()}
            session.start(f"C:\\{SETUP}", name="setup-wizard")
            page = session.wait_for(lambda: [w for w in session.windows() if w[4] and w[0] not in before and
                                             w[2] >= 400 and w[3] >= 300], 60, "the wizard's window")[0]
            time.sleep(2)
            shot = kavelor.screenshot(session, page[0], out / "setup-wizard-welcome.png")
            # The first line of the welcome text, right of the wizard's picture: Japanese with a few Latin
            # words, so rendered glyphs differ while boxes for missing characters all look alike.
            rows = text_lines(shot, left_fraction=0.4)
            require(len(rows) >= 3, f"{len(rows)} lines of text on the welcome page")
            distinct, commonest = kavelor.glyph_shapes(shot, rows[1], left_fraction=0.4)
            print(f"wizard {page[2]}x{page[3]} '{page[1]}': {len(rows)} lines of text, the first of the welcome "
                  f"text with {distinct} distinct glyph shapes, the commonest {commonest} times; {shot}")
            require(distinct >= 15 and commonest <= 5,
                    "the wizard's Japanese text does not render (the same empty box over and over)")
        finally:
            session.close()


def text_lines(png, left_fraction, ink=128):
    """Bands of rows that carry dark ink right of left_fraction of the width: the lines of text."""
    width, height, raw = kavelor.gray_pixels(png)
    left = int(width * left_fraction)
    bands, start = [], None
    for y in range(height + 1):
        dark = y < height and any(v < ink for v in raw[y * width + left:(y + 1) * width])
        if dark and start is None:
            start = y
        elif not dark and start is not None:
            bands.append((start, y))
            start = None
    return [band for band in bands if band[1] - band[0] >= 6]


def case_refused(args, prefix):
    code = run_setup(prefix, REFUSED)
    require(code == NOT_DONE, f"the setup ended with {code} although the driver cannot load")
    require_nothing_installed(prefix)
    print("nothing left behind")


def case_install(args, prefix):
    # Wine keeps a driver's service running only when its DriverEntry succeeded; the server is kept alive
    # past the setup's end (and the driver with it) until the state has been read.
    package.stop_server(prefix)
    subprocess.run([str(package.WINESERVER), "-p"], env=package.environment(prefix), check=True, timeout=60)
    try:
        code = run_setup(prefix, SETUP, stop=False)
        with open(prefix / "service-state.txt", "w") as log:
            subprocess.run([str(package.WINE), "sc", "query", "Kavfiltr"], env=package.environment(prefix),
                           stdout=log, stderr=subprocess.DEVNULL, timeout=60)
        state = (prefix / "service-state.txt").read_text()
    finally:
        package.stop_server(prefix)
    require(code == 0, f"the setup ended with {code}")
    require("STATE              : 4" in state, f"Kavfiltr.sys is not loaded: {state}")
    require_installation(prefix, args)
    uninstaller = installed(prefix) / "uninstall.exe"
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", args.ca, "-in", str(uninstaller)],
                          capture_output=True, text=True)
    require(done.returncode == 0, f"the installed uninstaller's signature does not verify: {done.stdout}")
    print("installed: programs, driver loaded, service, Programs and Features, Start menu, logon entry, "
          "signed uninstaller")


def case_kavelor(args, prefix):
    try:
        loader, exe, which = kavelor.loader_for(argparse.Namespace(exe32=args.exe32, exe64=args.exe64, out=args.out))
    except kavelor.Skip as skip:
        raise Skip(str(skip))
    print(f"running {exe} ({which}) as {FOLDER}\\Kavelor.exe")
    kept = (installed(prefix) / "Kavelor.exe").read_bytes()
    shutil.copy(exe, installed(prefix) / "Kavelor.exe")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    package.stop_server(prefix)
    link = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Kavelor\\Kavelor.lnk"
    try:
        with kavelor.Display() as display:
            session = kavelor.Wine(loader, prefix, display, out)
            try:
                # start opens the shortcut as Explorer does: the shell resolves it and starts its target.
                session.start("start", link, name="setup-start-menu")
                window = session.wait_for(lambda: session.kavelor_window(min_width=300) or
                                          kavelor.message_text(session.log("setup-start-menu")), 60,
                                          "the main window or a message")
                text = kavelor.message_text(session.log("setup-start-menu"))
                require(text is None, f"Kavelor refused to start: {text}")
                session.wait_for(lambda: kavelor.tray_additions(session.log("setup-start-menu")) == 1, 10,
                                 "the tray icon")
                print(f"Kavelor started from its Start-menu shortcut: window {window[2]}x{window[3]}, tray icon")
            finally:
                session.close()
    finally:
        (installed(prefix) / "Kavelor.exe").write_bytes(kept)


def case_reinstall(args, prefix):
    code = run_setup(prefix, REFUSED)
    require(code == NOT_DONE, f"the setup ended with {code} although the driver cannot load")
    require_installation(prefix, args)
    print("a failed setup over the installation kept all of it")


def case_again(args, prefix):
    """Installed again over the installation while a device's filter list names Kavfiltr: the installation is
    whole afterwards and the list untouched."""
    package.stop_server(prefix)
    code, out = wine(prefix, "reg", "add", package.DEVICE_KEY, "/v", "UpperFilters", "/t", "REG_MULTI_SZ", "/d",
                     "Kavfiltr", "/f")
    require(code == 0, f"could not name Kavfiltr in {package.DEVICE_KEY}: {out}")
    try:
        code = run_setup(prefix, SETUP)
        require(code == 0, f"the setup ended with {code} over the installation")
        require_installation(prefix, args)
        lists = registry_values(prefix, package.DEVICE_KEY) or {}
        require(lists.get("UpperFilters") == "Kavfiltr", f"the device's filter list changed: {lists}")
    finally:
        wine(prefix, "reg", "delete", package.DEVICE_KEY, "/v", "UpperFilters", "/f")
    print("installed again over the installation: whole, the device's filter list untouched")


def case_keep(args, prefix):
    package.stop_server(prefix)
    code, out = wine(prefix, "reg", "add", package.DEVICE_KEY, "/v", "UpperFilters", "/t", "REG_MULTI_SZ", "/d",
                     "Kavfiltr", "/f")
    require(code == 0, f"could not name Kavfiltr in {package.DEVICE_KEY}: {out}")
    try:
        code = run_uninstaller(prefix)
        require(code == NOT_DONE, f"the uninstaller ended with {code} although a device still names Kavfiltr")
        require_installation(prefix, args)
    finally:
        wine(prefix, "reg", "delete", package.DEVICE_KEY, "/v", "UpperFilters", "/f")
    print("a device naming Kavfiltr that Kavset could not change kept the whole installation")


def case_uninstall(args, prefix):
    code = run_uninstaller(prefix)
    require(code == 0, f"the uninstaller ended with {code}")
    require_nothing_installed(prefix)
    print("uninstalled: nothing left")


def case_cleanup(args, prefix):
    package.case_cleanup(args, prefix)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["prefix", "wizard", "refused", "install", "kavelor", "reinstall", "again",
                                         "keep", "uninstall", "cleanup"])
    parser.add_argument("--setup", required=True)
    parser.add_argument("--archive", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--ca", required=True, help="the certificates the signatures verify against")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--exe32", required=True)
    parser.add_argument("--exe64", required=True)
    parser.add_argument("--out", required=True)
    return package.run_step("setup_wine", parser.parse_args(), globals())


if __name__ == "__main__":
    sys.exit(main())
