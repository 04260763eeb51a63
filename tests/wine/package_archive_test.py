#!/usr/bin/env python3
"""The archive a Windows user installs from, dist/Kavelor-1.0.1.zip, unpacked and checked file by file.

- exactly the eight files under one folder Kavelor-1.0.1/;
- the three programs pass the PE checks of their own tests (Kavfiltr.sys: PE32+ native driver entered at
  DriverEntry, kernel imports only; Kavset.exe: PE32+ GUI, requireAdministrator, 1.0.1; Kavelor.exe: PE32
  i386 GUI, asInvoker, common controls 6, 1.0.1, the Japanese string table);
- Kavfiltr.inf installs the Kavfiltr kernel service, demand start, from Kavfiltr.sys in the driver folder,
  and binds to no device itself; install.cmd and uninstall.cmd are plain ASCII with CRLF line ends, and the
  uninstaller takes the filter off the devices before it deletes the service;
- ReadMe.txt is UTF-8 with a byte-order mark, in Japanese and English, and explains the setup program's
  silent mode and what a test-signed and a released driver need;
- Kavelor.pdf: its text holds every message of the string table that the user can meet, the setup program
  and what a test-signed and a released driver need, and the figures of the demo with the chart's labels
  in Japanese, its Japanese font is embedded, and every page rendered to an image carries content, the
  pictures in colour.

Exit code 77 (skipped) when the archive or a tool is missing.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kavelor_wine_test as kavelor  # noqa: E402

SKIP = 77
FILES = {"Kavfiltr.sys", "Kavset.exe", "Kavelor.exe", "Kavfiltr.inf", "install.cmd", "uninstall.cmd",
         "Kavelor.pdf", "ReadMe.txt"}
# Strings of Kavelor.rc the user can meet as a message, and what the guide must say about each.
MESSAGES = ("IDS_SERVICE_MISSING", "IDS_ADMIN_REQUIRED", "IDS_SETTING_FAILED", "IDS_ENABLE_FAILED",
            "IDS_DISABLE_FAILED", "IDS_REENABLE_NEEDED", "IDS_CONFIRM_ENABLE", "IDS_CONFIRM_DISABLE")


class Failure(Exception):
    pass


def require(condition, message):
    if not condition:
        raise Failure(message)


def check_binaries(folder, source):
    for script, image in (("tests/driver/check_driver_image.sh", "Kavfiltr.sys"),
                          ("tests/wine/kavset_image.sh", "Kavset.exe")):
        done = subprocess.run(["bash", str(source / script), str(folder / image)], capture_output=True, text=True)
        require(done.returncode == 0, f"{image}: {done.stdout}{done.stderr}")
        print(done.stdout.strip())
    args = argparse.Namespace(exe32=str(folder / "Kavelor.exe"))
    try:
        kavelor.case_image(args, kavelor.kavelor_strings(source))
    except SystemExit as stop:
        raise Failure(f"Kavelor.exe: the image check failed ({stop.code})")


def windows_text(path):
    data = path.read_bytes()
    require(b"\r\n" in data and b"\n" not in data.replace(b"\r\n", b""), f"{path.name} has lines not ended by CRLF")
    return data


def check_scripts(folder):
    for name in ("Kavfiltr.inf", "install.cmd", "uninstall.cmd"):
        data = windows_text(folder / name)
        require(all(byte < 0x80 for byte in data), f"{name} is not plain ASCII")
    inf = (folder / "Kavfiltr.inf").read_text(encoding="ascii")
    sections = {}
    current = None
    for line in inf.splitlines():
        line = line.split(";", 1)[0].strip()
        if line.startswith("["):
            current = line.strip("[]").lower()
            sections[current] = []
        elif line and current:
            sections[current].append(re.sub(r"\s*=\s*", "=", line))
    require("AddService=Kavfiltr,,Kavfiltr.Service" in sections.get("defaultinstall.ntamd64.services", []),
            "Kavfiltr.inf does not add the Kavfiltr service for 64-bit Windows")
    service = sections.get("kavfiltr.service", [])
    for entry in ("ServiceType=1", "StartType=3", "ServiceBinary=%12%\\Kavfiltr.sys"):
        require(entry in service, f"the Kavfiltr service of Kavfiltr.inf lacks {entry}")
    require("Kavfiltr.sys" in sections.get("kavfiltr.copyfiles", []), "Kavfiltr.inf does not copy Kavfiltr.sys")
    # A filter package binds to no hardware: Kavset puts the filter into the lists of the chosen devices.
    require("manufacturer" not in sections, "Kavfiltr.inf has a [Manufacturer] section: it would bind devices")

    install = (folder / "install.cmd").read_text(encoding="ascii")
    require("InstallHinfSection DefaultInstall.NTamd64" in install and "Kavfiltr.inf" in install,
            "install.cmd does not install Kavfiltr.inf")
    require("sc start Kavfiltr" in install, "install.cmd does not check that Windows loads the driver")
    uninstall = (folder / "uninstall.cmd").read_text(encoding="ascii")
    cleaned = uninstall.find("/Uninstall")
    deleted = uninstall.find("sc delete Kavfiltr")
    require(0 <= cleaned < deleted, "uninstall.cmd does not take the filter off the devices before deleting it")


def check_readme(folder):
    data = windows_text(folder / "ReadMe.txt")
    require(data.startswith(b"\xef\xbb\xbf"), "ReadMe.txt has no UTF-8 byte-order mark")
    text = data.decode("utf-8-sig")
    for needed in ("日本語", "English", "install.cmd", "uninstall.cmd", "Kavelor-1.0.1-setup.exe", "/S",
                   "testsigning", "署名", "test certificate", "attestation"):
        require(needed in text, f"ReadMe.txt does not mention {needed}")


def check_pdf(folder, source, demo):
    pdf = folder / "Kavelor.pdf"
    info = subprocess.run(["pdfinfo", str(pdf)], capture_output=True, text=True, check=True).stdout
    pages = int(re.search(r"^Pages:\s+(\d+)", info, re.M).group(1))
    require(pages >= 3, f"Kavelor.pdf has {pages} pages")
    fonts = subprocess.run(["pdffonts", str(pdf)], capture_output=True, text=True, check=True).stdout
    require(re.search(r"Noto-Sans-CJK-JP\S*\s.*\byes\b", fonts), "no embedded Japanese font in Kavelor.pdf")
    text = subprocess.run(["pdftotext", "-enc", "UTF-8", str(pdf), "-"], capture_output=True, text=True,
                          check=True).stdout
    flat = re.sub(r"\s+", "", text)
    strings = kavelor.rc_string_table(source)
    for symbol in MESSAGES:
        require(re.sub(r"\s+", "", strings[symbol]) in flat, f"the guide does not show {symbol}: {strings[symbol]}")
    require(re.sub(r"\s+", "", strings["IDS_STORAGE_IN_USE"].split("\n")[0]) in flat,
            "the guide does not show the message of a device in use")
    for needed in ("Kavelor-1.0.1-setup.exe", "testsigning", "attestation", "Kavfiltrあり", "連続読み込み"):
        require(needed in flat, f"the guide does not mention {needed}")
    # The property dialog's speed-up group, named in the guide as the dialog names it and its two values.
    for symbol in ("IDS_SPEEDUP_GROUP", "IDS_SPEEDUP_COMMANDS_SAVED", "IDS_SPEEDUP_CACHED_DATA"):
        require(strings[symbol] in flat, f"the guide does not explain {symbol}: {strings[symbol]}")
    require("withKavfiltr" not in flat and "without" not in flat, "the demo chart's labels are not in Japanese")
    for row in demo:
        require(f"{row[0]}→{row[1]}" in flat and f"{row[2]}→{row[3]}" in flat,
                f"the guide does not hold the demo's figures {row}")

    with tempfile.TemporaryDirectory() as pictures:
        subprocess.run(["pdftoppm", "-r", "40", "-png", str(pdf), f"{pictures}/page"], check=True)
        coloured = 0
        for number, page in enumerate(sorted(Path(pictures).glob("page-*.png")), 1):
            # The share of pixels that are not white, and of those with a clear colour (the pictures).
            stats = subprocess.run(["convert", str(page), "-colorspace", "HSL", "-format",
                                    "%[fx:mean.b] %[fx:mean.g]", "info:"], capture_output=True, text=True,
                                   check=True).stdout.split()
            lightness, saturation = float(stats[0]), float(stats[1])
            require(lightness < 0.995, f"page {number} of Kavelor.pdf renders blank")
            coloured += saturation > 0.015  # headings alone stay below, a figure lifts a page above
        require(coloured >= 3, f"only {coloured} pages of Kavelor.pdf carry pictures in colour")
        print(f"Kavelor.pdf: {pages} pages, {coloured} with pictures in colour, Japanese font embedded")


def demo_rows(output):
    """commands/MiB and MB/s, off and on, of each row of the demo's table."""
    rows = []
    for line in Path(output).read_text().splitlines():
        fields = line.split()
        if len(fields) == 9 and fields[2] == "->" and fields[5] == "->":
            rows.append((fields[1], fields[3], fields[4], fields[6]))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--archive", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--demo", required=True, help="the output of the kavlab demo the archive was built with")
    args = parser.parse_args()
    archive = Path(args.archive)
    source = Path(args.source)
    if not archive.exists():
        print(f"package_archive: skipped: {archive} is missing (scripts/run-main.sh builds it)")
        return SKIP
    for tool in ("unzip", "pdfinfo", "pdftoppm", "pdftotext", "convert"):
        if shutil.which(tool) is None:
            print(f"package_archive: skipped: no {tool}")
            return SKIP
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["unzip", "-q", str(archive), "-d", work], check=True)
        entries = sorted(str(path.relative_to(work)) for path in Path(work).rglob("*") if path.is_file())
        try:
            require(entries == sorted(f"Kavelor-1.0.1/{name}" for name in FILES),
                    f"the archive holds {entries}")
            folder = Path(work) / "Kavelor-1.0.1"
            check_binaries(folder, source)
            check_scripts(folder)
            check_readme(folder)
            demo = demo_rows(args.demo) if Path(args.demo).exists() else []
            require(demo, f"no demo figures in {args.demo}")
            check_pdf(folder, source, demo)
        except Failure as failure:
            print(f"package_archive: {archive}: {failure}", file=sys.stderr)
            return 1
    print(f"package_archive: {archive}: the eight files, the PE facts, the scripts, the read-me and the guide")
    return 0


if __name__ == "__main__":
    sys.exit(main())
