#!/usr/bin/env python3
"""Kavelor's main window listing a stick, and its tray menu opened, under Wine: the guide's two pictures.

Wine has no USB host controller, so Kavelor's real walk finds no stick. kavelor_main_window.exe is Kavelor's
own start-up, window shell, main window, tray icon and resources (built by the win64 preset) whose scan
thread delivers one made-up supported stick; its device nodes are written into a fresh prefix's Enum key as
for the property dialog's test (Kavfiltr on both nodes: the speed-up is on), and the list reads their filter
state itself. Beside the program lie a stub Kavset.exe (start-up only looks for it) and a Kavelor.pdf (so
Help is offered, as after installation). The shipped Kavelor.exe is 32-bit and this machine cannot start
32-bit programs (no 32-bit Wine, no IA-32 emulation in the kernel): the win64 build of the same sources runs.

Wine draws no notification area on a bare X display; the prefix therefore runs in Wine's virtual desktop
named "shell", which has a taskbar with the tray. The program right-clicks its icon there (SendInput), so the
menu opens through the shell's callback and Kavelor's own handler, at the icon.

  main window   titled Kavelor, one item "(E:)" without an overlay (speed-up on), selected: Enable greyed,
                Disable, Properties, Version and Help offered; kavelor-main-window.png must not be blank, its
                buttons' Japanese texts must render, and the list must show the drive (the colours of its
                icon and of its selected label, where an empty list has only grey text)
  tray menu     the items of IDR_TASKTRAY (開く, 終了), Open the default, the menu at the tray icon;
                kavelor-tray-menu.png (the menu over the taskbar's corner) must not be blank and its texts
                must render

Wine 8's Configuration Manager stand-ins are the property dialog test's (config_manager_stand_in.cpp); the
program says on its first line whether they answer. Exit code 77 (skipped) when Wine, Xvfb, ImageMagick or
the program is missing.
"""

import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent.parent))
sys.path.insert(0, str(Path(__file__).parent.parent / "propdialog"))
import kavelor_wine_test as kavelor  # noqa: E402  (the display, the string table and the picture helpers)
import property_dialog_wine_test as propdialog  # noqa: E402  (the prefix with the stick's device nodes)

DESKTOP = (800, 600)
# Enable greyed (the speed-up is on), Disable, Properties, Version and Help offered.
BUTTONS = "0 1 1 1 1"


def fail(message):
    print(f"main window wine test: FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def rc_menu_items(source, menu):
    """The texts of a menu of Kavelor.rc, separators left out."""
    text = (source / "trayapp/res/Kavelor.rc").read_text(encoding="utf-8")
    block = re.search(rf"^{menu} MENU\n(.*?)^END", text, re.M | re.S)
    return re.findall(r'MENUITEM "([^"]*)"', block.group(1)) if block else []


def prepare(prefix, exe, env):
    propdialog.prepare(prefix, exe, env)
    # Wine's virtual desktop named "shell" has a taskbar, and the tray in it.
    propdialog.run(env, "reg", "add", "HKCU\\Software\\Wine\\Explorer", "/v", "Desktop", "/d", "shell", "/f")
    propdialog.run(env, "reg", "add", "HKCU\\Software\\Wine\\Explorer\\Desktops", "/v", "shell", "/d",
                   f"{DESKTOP[0]}x{DESKTOP[1]}", "/f")
    (prefix / "drive_c" / "Kavset.exe").write_bytes(b"MZ")
    (prefix / "drive_c" / "Kavelor.pdf").write_bytes(b"%PDF-1.4\n")


def rect(text):
    x, y, w, h = (int(v) for v in text.split())
    return x, y, w, h


def snap(env, path, area):
    """The part of the screen inside area (x, y, width, height), as Wine's virtual desktop shows it."""
    x, y, w, h = area
    full = path.with_suffix(".screen.png")
    subprocess.run(["import", "-window", "root", str(full)], env=env, check=True, capture_output=True)
    subprocess.run(["convert", str(full), "-crop", f"{w}x{h}+{x}+{y}", "+repage", str(path)], check=True)
    full.unlink()
    return path


def coloured_pixels(png, area):
    """Pixels of a clear colour (not white, grey or black) inside area of the picture."""
    x, y, w, h = area
    raw = subprocess.run(["convert", str(png), "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8", "rgb:-"],
                         capture_output=True, check=True).stdout
    return sum(1 for at in range(0, len(raw), 3) if max(raw[at:at + 3]) - min(raw[at:at + 3]) > 60)


def run_program(env, out, window_png, menu_png):
    log = open(out / "main-window.log", "w")
    process = subprocess.Popen([str(propdialog.WINE), "C:\\kavelor_main_window.exe", propdialog.USB_ID,
                                propdialog.STORAGE_ID, "E", "3"],
                               env=env, stdout=subprocess.PIPE, stderr=log, text=True, encoding="utf-8")
    shown = {}
    try:
        for line in process.stdout:
            name_text = line.rstrip("\n").split("\t", 1)
            if len(name_text) == 2:
                shown[name_text[0]] = name_text[1]
            elif name_text[0] == "window-shown":
                time.sleep(0.5)
                snap(env, window_png, rect(shown["window"]))
            elif name_text[0] == "menu-shown":
                time.sleep(0.5)
                snap(env, menu_png, menu_area(shown))
        code = process.wait(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
        log.close()
    print(f"shown: {shown}")
    if "timed-out" in shown:
        fail(f"{shown['timed-out']} (see {out / 'main-window.log'})")
    if code != 0 or shown.get("closed") != "0":
        fail(f"Kavelor did not end with 0 after Exit: exit code {code}, {shown.get('closed')!r}")
    return shown


def menu_area(shown):
    """The menu with the taskbar's corner and the icon it was opened from, and a little desktop around."""
    mx, my, mw, mh = rect(shown["menu"])
    tx, ty, tw, th = rect(shown["taskbar"])
    left = max(0, mx - 120)
    top = max(0, my - 32)
    return left, top, tx + tw - left, ty + th - top


def check_window(shown, png, strings):
    expected = {"title": strings["IDS_TITLE"], "items": "1", "item": "(E:)", "overlay": "0", "buttons": BUTTONS}
    for name, value in expected.items():
        if shown.get(name) != value:
            fail(f"main window: {name} is {shown.get(name)!r}, not {value!r}")
    _, _, width, height = rect(shown["window"])
    if width < 300 or height < 150:
        fail(f"the main window is {width}x{height}")
    propdialog.check_picture(png)
    # The texts are found in the client area: the frame's sides would join every row into one band.
    wx, wy, _, _ = rect(shown["window"])
    cx, cy, cw, ch = rect(shown["client"])
    client = png.with_name("main-window-client.png")
    subprocess.run(["convert", str(png), "-crop", f"{cw}x{ch}+{cx - wx}+{cy - wy}", "+repage", str(client)],
                   check=True)
    distinct, commonest = kavelor.glyph_shapes(client, kavelor.toolbar_text_rows(client), left_fraction=0, ink=200)
    print(f"button texts: {distinct} distinct glyph shapes, the commonest {commonest} times")
    if distinct < 15 or commonest > 6:
        fail("the buttons' Japanese texts do not render (the same empty box over and over)")
    # The empty list holds only its grey line; the stick's icon and its selected label are blue.
    lx, ly, lw, lh = rect(shown["list"])
    colour = coloured_pixels(png, (lx - wx, ly - wy, lw, lh))
    print(f"list: {colour} coloured pixels")
    if colour < 300:
        fail(f"the picture's list shows no drive ({colour} coloured pixels)")


def check_menu(shown, png, items, source):
    expected = "|".join(rc_menu_items(source, "IDR_TASKTRAY"))
    if shown.get("menu-items") != expected or shown.get("menu-default") != "32773":
        fail(f"tray menu {shown.get('menu-items')!r} with default {shown.get('menu-default')}, not {expected!r} "
             "with Open (32773)")
    mx, my, mw, mh = rect(shown["menu"])
    cx, cy = (int(v) for v in shown["click"].split())
    if not (mx - 24 <= cx <= mx + mw + 24 and my - 24 <= cy <= my + mh + 24):
        fail(f"the menu ({shown['menu']}) did not open at the tray icon ({shown['click']})")
    # Mostly the desktop's dark blue around the menu.
    propdialog.check_picture(png, min_size=80, max_ink=0.95)
    # Each item's text on its own, inside the menu's border: characters the font lacks are one box each.
    left, top, _, _ = menu_area(shown)
    for at, area in enumerate(shown["menu-rects"].split("|")):
        x, y, w, h = rect(area)
        item = png.with_name(f"tray-menu-item{at}.png")
        subprocess.run(["convert", str(png), "-crop", f"{w - 6}x{h}+{x - left + 3}+{y - top}", "+repage",
                        str(item)], check=True)
        distinct, commonest = kavelor.glyph_shapes(item, (0, h), left_fraction=0, ink=200)
        print(f"menu item {at}: {distinct} distinct glyph shapes, the commonest {commonest} times")
        if distinct < 2 or commonest > 1:
            fail(f"the tray menu's item {items[at]!r} does not render")


def main():
    source, exe, prefix, out = propdialog.arguments("main window", "kavelor_main_window.exe")
    strings = kavelor.rc_string_table(source)
    window_png = out / "kavelor-main-window.png"
    menu_png = out / "kavelor-tray-menu.png"
    with kavelor.Display() as display:
        env = propdialog.wine_env(prefix, display)
        try:
            started = time.time()
            prepare(prefix, exe, env)
            print(f"prefix with the stick's device nodes and the virtual desktop in {time.time() - started:.1f} s")
            for png in (window_png, menu_png):
                png.unlink(missing_ok=True)
            shown = run_program(env, out, window_png, menu_png)
            print(f"configuration manager: {shown.get('config-manager')}")
            check_window(shown, window_png, strings)
            check_menu(shown, menu_png, shown["menu-items"].split("|"), source)
        finally:
            subprocess.run([str(kavelor.WINE_DIR / "wineserver"), "-k"], env=env, capture_output=True)
    print(f"the main window listing the stick and the tray menu at its icon: {window_png}, {menu_png}")


if __name__ == "__main__":
    main()
