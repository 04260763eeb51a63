#!/usr/bin/env python3
"""Kavelor's property dialog under Wine: its speed-up group reading what Kavfiltr left in the registry.

Wine has no USB host controller, so no stick reaches Kavelor's main window; kavelor_property_dialog.exe (the
dialog's own code and Kavelor's resources, built by the win64 preset) opens the dialog for a stick whose
device nodes this test writes into a fresh prefix's Enum key: the USB node with Kavfiltr as lower filter and
the friendly name registration sets, its storage node with Kavfiltr as upper filter, the Kavfiltr service
created with sc, and the counters of two units under the USB node's hardware key as REG_QWORD values. The
drive is a folder of the prefix mapped to E: with a volume label. Three states, one dialog each:

  counted    both units' counts summed: 70.0% of the commands saved and 356MB from the read-ahead; a
             screenshot of the dialog (kavelor-property-dialog.png), which must not be blank
  no-data    the counters' key removed: the note that nothing was read or written yet, no numbers
  off        the lower filter removed: the speed-up is off, the state says so, the note says why

Wine 8 does not implement CM_Locate_DevNodeW, CM_Get_DevNode_Registry_PropertyW and CM_Get_DevNode_Status;
the program then answers those three from Wine's setup API and says so on its first line, which is printed.
Exit code 77 (skipped) when Wine, Xvfb, ImageMagick or the program is missing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent.parent))
import kavelor_wine_test as kavelor  # noqa: E402  (the display, the string table and the picture helpers)

SKIP = 77
WINE = kavelor.WINE_DIR / "wine64"
USB_ID = "USB\\VID_3A7E&PID_1201\\KAV0001"
STORAGE_ID = "USBSTOR\\Disk&Ven_Kav&Prod_Stick&Rev_1.00\\KAV0001&0"
ENUM = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"
USB_CLASS = "{36FC9E60-C465-11CF-8056-444553540000}"
DISK_CLASS = "{4D36E967-E325-11CE-BFC1-08002BE10318}"
# Two units, as a card reader with two slots reports them; the dialog shows their sum.
UNITS = {
    "0": {"ClassReadCommands": 6000, "ClassWriteCommands": 2000, "DeviceReadCommands": 1500,
          "DeviceWriteCommands": 500, "CachedBytes": 300 << 20},
    "1": {"ClassReadCommands": 1000, "ClassWriteCommands": 1000, "DeviceReadCommands": 600,
          "DeviceWriteCommands": 400, "CachedBytes": 56 << 20},
}
COUNTED = {"saved": "70.0%", "cached": "356MB"}  # (10000 - 3000) / 10000 commands; 356 MiB


def fail(message):
    print(f"property dialog wine test: FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def multi_sz(text):
    return "hex(7):" + ",".join(f"{b:02x}" for b in (text + "\0\0").encode("utf-16-le"))


def qword(value):
    return "hex(b):" + ",".join(f"{b:02x}" for b in value.to_bytes(8, "little"))


def registry_file(path):
    lines = ["Windows Registry Editor Version 5.00", "",
             f"[{ENUM}\\{USB_ID}]", f'"ClassGUID"="{USB_CLASS}"', '"FriendlyName"="Kavelor USB Stick"',
             f'"LowerFilters"={multi_sz("Kavfiltr")}', "",
             f"[{ENUM}\\{STORAGE_ID}]", f'"ClassGUID"="{DISK_CLASS}"', f'"UpperFilters"={multi_sz("Kavfiltr")}', ""]
    for unit, values in UNITS.items():
        lines.append(f"[{ENUM}\\{USB_ID}\\Device Parameters\\Kavfiltr\\{unit}]")
        lines += [f'"{name}"={qword(value)}' for name, value in values.items()]
        lines.append("")
    path.write_text("\r\n".join(lines) + "\r\n", encoding="utf-16")
    return path


def run(env, *command, timeout=120):
    result = subprocess.run([str(WINE), *command], env=env, capture_output=True, timeout=timeout)
    subprocess.run([str(kavelor.WINE_DIR / "wineserver"), "-w"], env=env, timeout=60)
    if result.returncode != 0:
        fail(f"{' '.join(command)} ended with {result.returncode}: {result.stdout!r} {result.stderr!r}")


def prepare(prefix, exe, env):
    shutil.rmtree(prefix, ignore_errors=True)
    prefix.mkdir(parents=True)
    run(env, "wineboot", "-i", timeout=240)
    run(env, "sc", "create", "Kavfiltr", "type=", "kernel", "start=", "demand", "binPath=",
        "C:\\windows\\system32\\drivers\\Kavfiltr.sys")
    registry = registry_file(prefix / "drive_c" / "kavelor-stick.reg")
    run(env, "regedit", "/S", "C:\\" + registry.name)
    # Without a window manager, Wine draws the dialog's caption itself when its windows are not managed.
    run(env, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/t", "REG_SZ", "/d", "N", "/f")
    stick = prefix / "stick"
    stick.mkdir()
    (stick / ".windows-label").write_text("KAVSTICK")
    (prefix / "dosdevices" / "e:").symlink_to("../stick")
    shutil.copy(exe, prefix / "drive_c" / exe.name)


def show(env, out, name, screenshot):
    """Runs the dialog, returns what it showed by name; with `screenshot`, the dialog's picture is saved."""
    log = open(out / f"property-dialog-{name}.log", "w")
    process = subprocess.Popen([str(WINE), "C:\\kavelor_property_dialog.exe", USB_ID, STORAGE_ID, "E", "4"],
                               env=env, stdout=subprocess.PIPE, stderr=log, text=True, encoding="utf-8")
    shown = {}
    try:
        for line in process.stdout:
            name_text = line.rstrip("\n").split("\t", 1)
            if name_text[0] == "shown":
                break
            if len(name_text) == 2:
                shown[name_text[0]] = name_text[1]
        else:
            fail(f"the dialog did not show ({name}); the program ended with {process.wait(timeout=30)}")
        if screenshot:
            window = find_dialog(env)
            time.sleep(0.5)
            subprocess.run(["import", "-window", window, str(screenshot)], env=env, check=True, capture_output=True)
        rest = process.stdout.read()
        code = process.wait(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
        log.close()
    if code != 0 or "closed\t2" not in rest:
        fail(f"the dialog ({name}) did not close with IDCANCEL: exit code {code}, {rest!r}")
    print(f"{name}: {shown}")
    return shown


def find_dialog(env):
    for _ in range(40):
        tree = subprocess.run(["xwininfo", "-root", "-tree"], env=env, capture_output=True, text=True,
                              errors="replace").stdout
        for line in tree.splitlines():
            words = line.split()
            if words and "kavelor_property_dialog.exe" in line and "Default IME" not in line and \
                    words[0].startswith("0x"):
                return words[0]
        time.sleep(0.25)
    fail("no X window of the dialog")


def check_picture(png, min_size=200, max_ink=0.5):
    """Not blank: a window has a caption, frames and text, so it has many shades and some ink, not one colour."""
    width, height, raw = kavelor.gray_pixels(png)
    shades = len(set(raw))
    ink = sum(1 for v in raw if v < 128) / len(raw)
    print(f"{png}: {width}x{height}, {shades} shades of grey, {ink:.1%} dark")
    if width < min_size or height < min_size or shades < 16 or not 0.005 < ink < max_ink:
        fail(f"the picture of {png.name} looks blank or broken ({width}x{height}, {shades} shades, {ink:.1%} ink)")


def expect(shown, case, **texts):
    for name, text in texts.items():
        if shown.get(name) != text:
            fail(f"{case}: {name} shows {shown.get(name)!r}, not {text!r}")


def arguments(test, program):
    """The command line of a Wine test of Kavelor's windows: the source, the program, and the prefix and output
    folders made absolute (Wine takes only an absolute WINEPREFIX; the main job passes folders relative to
    the checkout). Skips (77) when the program or what the test needs is missing."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--exe", required=True, help=f"{program} of the win64 build")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--out", required=True, help="folder for the pictures and the logs")
    args = parser.parse_args()
    exe = Path(args.exe)
    missing = [what for what, there in (("wine64", WINE.exists()), ("Xvfb", shutil.which("Xvfb")),
                                        ("ImageMagick's import", shutil.which("import")),
                                        ("xwininfo", shutil.which("xwininfo")), (str(exe), exe.exists()))
               if not there]
    if missing:
        print(f"{test} wine test: skipped: missing {', '.join(missing)}")
        sys.exit(SKIP)
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    return Path(args.source), exe, Path(args.prefix).resolve(), out


def wine_env(prefix, display):
    return dict(os.environ, WINEPREFIX=str(prefix), DISPLAY=f":{display.number}",
                WINEDLLOVERRIDES=kavelor.DLL_OVERRIDES, LANG="ja_JP.UTF-8", WINEDEBUG="-all")


def main():
    source, exe, prefix, out = arguments("property dialog", "kavelor_property_dialog.exe")
    strings = kavelor.rc_string_table(source)
    with kavelor.Display() as display:
        env = wine_env(prefix, display)
        try:
            started = time.time()
            prepare(prefix, exe, env)
            print(f"prefix with the stick's device nodes in {time.time() - started:.1f} s")

            picture = out / "kavelor-property-dialog.png"
            picture.unlink(missing_ok=True)
            shown = show(env, out, "counted", picture)
            print(f"configuration manager: {shown.get('config-manager')}")
            expect(shown, "counted", caption="KAVSTICK (E:)のプロパティ", state=strings["IDS_STATE_ENABLED"],
                   vendor="0x3A7E", product="0x1201", group=strings["IDS_SPEEDUP_GROUP"],
                   **{"saved-label": strings["IDS_SPEEDUP_COMMANDS_SAVED"],
                      "cached-label": strings["IDS_SPEEDUP_CACHED_DATA"]}, note="", **COUNTED)
            check_picture(picture)

            run(env, "reg", "delete", f"HKLM\\System\\CurrentControlSet\\Enum\\{USB_ID}\\Device Parameters\\Kavfiltr",
                "/f")
            shown = show(env, out, "no-data", None)
            expect(shown, "no-data", state=strings["IDS_STATE_ENABLED"], saved="", cached="",
                   note=strings["IDS_SPEEDUP_NO_DATA"])

            run(env, "reg", "delete", f"HKLM\\System\\CurrentControlSet\\Enum\\{USB_ID}", "/v", "LowerFilters", "/f")
            shown = show(env, out, "off", None)
            expect(shown, "off", state=strings["IDS_STATE_DISABLED"], saved="", cached="",
                   note=strings["IDS_SPEEDUP_OFF"])
        finally:
            subprocess.run([str(kavelor.WINE_DIR / "wineserver"), "-k"], env=env, capture_output=True)
    print(f"the property dialog's speed-up group: numbers, no data and off as the registry says; {picture}")


if __name__ == "__main__":
    main()
