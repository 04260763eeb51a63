#!/usr/bin/env python3
"""The archive installed, used and uninstalled under Wine, in one fresh prefix, one step per ctest test:

  prefix     a fresh 64-bit prefix with the archive unpacked into C:\\Kavelor-1.0.1
  refused    install.cmd with a Kavfiltr.sys that Windows will not load (as an unsigned driver on a system
             that enforces signatures) ends with 1 and leaves nothing behind: no service, no driver file, no
             programs, so the speed-up is never offered with a filter that cannot load
  install    install.cmd as the user runs it ends with 0: the three files beside each other in
             C:\\Program Files\\Kavelor, Kavfiltr.sys in the driver folder and the Kavfiltr kernel service
             (type 1, demand start 3) registered from Kavfiltr.inf; Wine's kernel trace is kept
  driver     the trace of install.cmd's "sc start Kavfiltr": the driver loaded, DriverEntry returned
             success (the service runs), and all 28 dispatch entries point into Kavfiltr.sys, power and
             Plug and Play each to a routine of its own, every other one to the common entry
  kavelor    Kavelor started from the installed folder passes its start-up checks (Kavset.exe beside it,
             the Kavfiltr service): its window and tray icon, no message box
  reinstall  install.cmd over that installation with a Kavfiltr.sys that will not load ends with 1 and keeps
             the earlier installation: the service, the earlier driver file and the programs, since sticks
             whose filter lists name Kavfiltr would not start without them
  running    the same while the earlier driver runs (a stick naming it plugged in), where "sc start Kavfiltr"
             cannot tell anything about the new file: the new driver is tried under a service of its own,
             and install.cmd ends with 1 keeping the earlier installation when it cannot load, with 0 when
             it can; the trying service is gone afterwards
  keep       a device whose filter list names Kavfiltr (Wine's own bus device, set in its registry key) and
             that Kavset cannot change there: uninstall.cmd ends with 1 and keeps the service, the driver
             and the programs, so the device would still start
  uninstall  uninstall.cmd ends with 0: the service, the driver file and the installed folder are gone
  cleanup    the prefix's Wine server stopped and the prefix removed

Where the kernel cannot run 32-bit programs, the win64 build of Kavelor's sources stands in for the installed
32-bit Kavelor.exe (as in Kavelor's own Wine tests). Exit code 77 (skipped) when Wine or the archive is
missing.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kavelor_wine_test as kavelor  # noqa: E402

SKIP = 77
WINE = kavelor.WINE_DIR / "wine64"
WINESERVER = kavelor.WINE_DIR / "wineserver"
FOLDER = "Kavelor-1.0.1"
IRP_MJ_POWER = 0x16
PROGRAMS = ("Kavelor.exe", "Kavset.exe", "Kavelor.pdf")
IRP_MJ_PNP = 0x1B


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def require(condition, message):
    if not condition:
        raise Failure(message)


def environment(prefix, debug="-all"):
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG=debug, WINEARCH="win64",
               WINEDLLOVERRIDES=kavelor.DLL_OVERRIDES + ";winemenubuilder.exe=d")
    env.pop("DISPLAY", None)
    return env


def wine(prefix, *args, debug="-all", timeout=120, log=None):
    done = subprocess.run([str(WINE), *args], env=environment(prefix, debug), timeout=timeout,
                          stdout=subprocess.PIPE, stderr=log if log is not None else subprocess.PIPE)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def stop_server(prefix):
    subprocess.run([str(WINESERVER), "-k"], env=environment(prefix), capture_output=True, timeout=60)
    subprocess.run([str(WINESERVER), "-w"], env=environment(prefix), capture_output=True, timeout=60)


def service_values(prefix):
    """The Kavfiltr service key as the registry holds it; None when there is none."""
    code, out = wine(prefix, "reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\Kavfiltr")
    if code != 0:
        return None
    return {m.group(1): m.group(2).strip() for m in re.finditer(r"^\s+(\w+)\s+REG_\w+\s+(.*)$", out, re.M)}


def drive_c(prefix):
    return prefix / "drive_c"


def installed(prefix):
    return drive_c(prefix) / "Program Files" / "Kavelor"


def case_prefix(args, prefix):
    if not Path(args.archive).exists():
        raise Skip(f"{args.archive} is missing (scripts/run-main.sh builds it)")
    shutil.rmtree(prefix, ignore_errors=True)
    prefix.parent.mkdir(parents=True, exist_ok=True)
    started = time.time()
    code, _ = wine(prefix, "wineboot", "--init", timeout=240)
    stop_server(prefix)
    require(code == 0, f"wineboot ended with {code}")
    subprocess.run(["unzip", "-q", "-o", args.archive, "-d", str(drive_c(prefix))], check=True)
    print(f"fresh prefix with {FOLDER} unpacked in {time.time() - started:.1f} s")


def driver_file(prefix):
    return drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys"


def install_unloadable_driver(prefix, log=None):
    """install.cmd run from a copy of the archive whose Kavfiltr.sys Windows will not load."""
    refused = drive_c(prefix) / "Refused"
    shutil.rmtree(refused, ignore_errors=True)
    shutil.copytree(drive_c(prefix) / FOLDER, refused)
    (refused / "Kavfiltr.sys").write_bytes(b"MZ" + bytes(range(256)) * 16)
    # A guide of its own, so that an earlier installation's programs are seen to be put back.
    with open(refused / "Kavelor.pdf", "ab") as guide:
        guide.write(b"\n% refused\n")
    try:
        code, out = wine(prefix, "cmd", "/c", "C:\\Refused\\install.cmd", log=log)
    finally:
        shutil.rmtree(refused, ignore_errors=True)
    print(out.strip())
    return code


def case_refused(args, prefix):
    code = install_unloadable_driver(prefix)
    require(code == 1, f"install.cmd ended with {code} although the driver cannot load")
    require(service_values(prefix) is None, "the Kavfiltr service was left behind")
    require(not (drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys").exists(),
            "the driver file was left behind")
    require(not installed(prefix).exists(), f"{installed(prefix)} was left behind")


def case_install(args, prefix):
    # The kernel trace is written by the driver host, which the Wine server started with the first
    # program: the server starts afresh with the trace switched on.
    stop_server(prefix)
    with open(prefix / "install-trace.log", "w") as log:
        code, out = wine(prefix, "cmd", "/c", f"C:\\{FOLDER}\\install.cmd", debug="+ntoskrnl", log=log)
    print(out.strip())
    require(code == 0, f"install.cmd ended with {code}")
    for name in ("Kavelor.exe", "Kavset.exe", "Kavelor.pdf"):
        copy = installed(prefix) / name
        require(copy.exists(), f"{copy} is missing")
        require(copy.read_bytes() == (drive_c(prefix) / FOLDER / name).read_bytes(), f"{copy} differs")
    driver = drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys"
    require(driver.exists() and driver.read_bytes() == (drive_c(prefix) / FOLDER / "Kavfiltr.sys").read_bytes(),
            "Kavfiltr.sys is not in the driver folder")
    values = service_values(prefix)
    require(values is not None, "no Kavfiltr service")
    require(int(values.get("Type", "0"), 0) == 1, f"the service is not a kernel driver: {values}")
    require(int(values.get("Start", "0"), 0) == 3, f"the service does not start on demand: {values}")
    require(values.get("ImagePath", "").lower().endswith("drivers\\kavfiltr.sys"), f"image path: {values}")
    # Wine keeps a driver's service running only when its DriverEntry returned success. The server may end
    # between two steps, and the driver with it, so the state is read now and kept for the driver step.
    code, out = wine(prefix, "sc", "query", "Kavfiltr")
    (prefix / "install-service-state.txt").write_text(out)
    print(f"service Kavfiltr: {values}")


def case_driver(args, prefix):
    trace = (prefix / "install-trace.log").read_text(errors="replace")
    require(f'load_driver loading driver L"C:\\\\windows\\\\system32\\\\drivers\\\\Kavfiltr.sys"' in trace,
            "Wine did not load Kavfiltr.sys")
    done = re.search(r'init done for L"Kavfiltr".*?\n((?:.*init_driver - .*\n)+)', trace)
    require(done, "DriverEntry of Kavfiltr did not complete")
    table = dict(re.findall(r"init_driver - (\w+(?:\[\d+\])?) = ([0-9A-Fa-f]+)", done.group(1)))
    entries = [int(table[f"MajorFunction[{index}]"], 16) for index in range(28) if f"MajorFunction[{index}]" in table]
    require(len(entries) == 28, f"{len(entries)} dispatch entries in the trace, not 28")

    # Where Kavfiltr.sys lies: its entry point is DriverEntry, so the image starts that far below it.
    objdump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(drive_c(prefix) / FOLDER / "Kavfiltr.sys")],
                             capture_output=True, text=True, check=True).stdout
    entry_rva = int(re.search(r"^AddressOfEntryPoint\s+([0-9a-f]+)", objdump, re.M).group(1), 16)
    size = int(re.search(r"^SizeOfImage\s+([0-9a-f]+)", objdump, re.M).group(1), 16)
    base = int(table["DriverInit"], 16) - entry_rva
    outside = [index for index, address in enumerate(entries) if not base <= address < base + size]
    require(not outside, f"dispatch entries {outside} do not point into Kavfiltr.sys (Wine's defaults)")
    common = entries[0]
    others = [index for index, address in enumerate(entries) if address != common]
    require(others == [IRP_MJ_POWER, IRP_MJ_PNP], f"entries {others} differ from the common one, not power and PnP")
    require(entries[IRP_MJ_POWER] != entries[IRP_MJ_PNP], "power and PnP share one routine")
    require(base <= int(table.get("DriverUnload", "0"), 16) < base + size, "no DriverUnload in Kavfiltr.sys")

    state = (prefix / "install-service-state.txt").read_text()
    require(re.search(r"STATE\s+:\s+4\b", state), f"the Kavfiltr service was not running after install: {state}")
    print(f"Kavfiltr.sys loaded at 0x{base:x}: DriverEntry succeeded; 28 dispatch entries into the image, "
          f"common 0x{common - base:x}, power 0x{entries[IRP_MJ_POWER] - base:x}, "
          f"PnP 0x{entries[IRP_MJ_PNP] - base:x}")


def case_kavelor(args, prefix):
    try:
        loader, exe, which = kavelor.loader_for(argparse.Namespace(exe32=args.exe32, exe64=args.exe64, out=args.out))
    except kavelor.Skip as skip:
        raise Skip(str(skip))
    print(f"running {exe} ({which}) as C:\\Program Files\\Kavelor\\Kavelor.exe")
    shutil.copy(exe, installed(prefix) / "Kavelor.exe")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    stop_server(prefix)
    with kavelor.Display() as display:
        session = kavelor.Wine(loader, prefix, display, out)
        try:
            session.start("C:\\Program Files\\Kavelor\\Kavelor.exe", name="package-installed")
            window = session.wait_for(lambda: session.kavelor_window(min_width=300) or
                                      kavelor.message_text(session.log("package-installed")), 60,
                                      "the main window or a message")
            text = kavelor.message_text(session.log("package-installed"))
            require(text is None, f"Kavelor refused to start: {text}")
            session.wait_for(lambda: kavelor.tray_additions(session.log("package-installed")) == 1, 10,
                             "the tray icon")
            print(f"Kavelor started from the installed folder: window {window[2]}x{window[3]}, tray icon, no message")
        finally:
            session.close()


def case_reinstall(args, prefix):
    stop_server(prefix)
    earlier = {name: (installed(prefix) / name).read_bytes() for name in PROGRAMS}
    code = install_unloadable_driver(prefix)
    require(code == 1, f"install.cmd ended with {code} although the driver cannot load")
    require(service_values(prefix) is not None, "the earlier installation's Kavfiltr service was deleted")
    driver = drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys"
    require(driver.exists() and driver.read_bytes() == (drive_c(prefix) / FOLDER / "Kavfiltr.sys").read_bytes(),
            "the earlier Kavfiltr.sys was not put back")
    for name in PROGRAMS:
        copy = installed(prefix) / name
        require(copy.exists(), f"the earlier installation's {name} was deleted")
        require(copy.read_bytes() == earlier[name], f"the earlier installation's {name} was replaced")
    print("a failed installation over an earlier one kept its service, its driver and its programs")


def case_running(args, prefix):
    # The server and the driver it loaded stay up across the programs of this step, as on a PC where a
    # filtered stick is plugged in.
    stop_server(prefix)
    subprocess.run([str(WINESERVER), "-p"], env=environment(prefix), check=True, timeout=60)
    try:
        # Not into a pipe: the service manager and the driver host started now would hold it open.
        subprocess.run([str(WINE), "sc", "start", "Kavfiltr"], env=environment(prefix), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        state = wine(prefix, "sc", "query", "Kavfiltr")[1]
        require(re.search(r"STATE\s+:\s+4\b", state), f"the earlier Kavfiltr.sys does not run: {state}")
        earlier = {name: (installed(prefix) / name).read_bytes() for name in PROGRAMS}
        code = install_unloadable_driver(prefix, log=subprocess.DEVNULL)
        require(code == 1, f"install.cmd ended with {code} over the running driver although the new one cannot load")
        require(driver_file(prefix).read_bytes() == (drive_c(prefix) / FOLDER / "Kavfiltr.sys").read_bytes(),
                "the earlier Kavfiltr.sys was not put back")
        for name, data in earlier.items():
            require((installed(prefix) / name).read_bytes() == data, f"the earlier installation's {name} was replaced")
        require(service_values(prefix) is not None, "the earlier installation's Kavfiltr service was deleted")
        code, out = wine(prefix, "cmd", "/c", f"C:\\{FOLDER}\\install.cmd", log=subprocess.DEVNULL)
        require(code == 0, f"install.cmd of a driver that loads ended with {code} over the running driver: {out}")
        code, _ = wine(prefix, "reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\KavfiltrCheck")
        require(code != 0, "the service that tried the new driver was left behind")
    finally:
        stop_server(prefix)
    print("over a running driver the new Kavfiltr.sys was tried on its own: refused when it cannot load, kept "
          "when it can")


DEVICE_KEY = "HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\WINE\\WINEBUS"


def case_keep(args, prefix):
    stop_server(prefix)
    code, out = wine(prefix, "reg", "add", DEVICE_KEY, "/v", "UpperFilters", "/t", "REG_MULTI_SZ", "/d",
                     "Kavfiltr", "/f")
    require(code == 0, f"could not name Kavfiltr in {DEVICE_KEY}: {out}")
    try:
        code, out = wine(prefix, "cmd", "/c", f"C:\\{FOLDER}\\uninstall.cmd")
        print(out.strip())
        require(code == 1, f"uninstall.cmd ended with {code} although a device still names Kavfiltr")
        require(service_values(prefix) is not None, "the Kavfiltr service was deleted while a device names it")
        require((drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys").exists(),
                "Kavfiltr.sys was deleted while a device names it")
        require((installed(prefix) / "Kavset.exe").exists(), "Kavset.exe was deleted: the user cannot try again")
    finally:
        wine(prefix, "reg", "delete", DEVICE_KEY, "/v", "UpperFilters", "/f")
    print("a device naming Kavfiltr that Kavset could not change kept the service, the driver and the programs")


def case_uninstall(args, prefix):
    stop_server(prefix)
    code, out = wine(prefix, "cmd", "/c", f"C:\\{FOLDER}\\uninstall.cmd")
    print(out.strip())
    require(code == 0, f"uninstall.cmd ended with {code}")
    require(service_values(prefix) is None, "the Kavfiltr service is still registered")
    require(not (drive_c(prefix) / "windows" / "system32" / "drivers" / "Kavfiltr.sys").exists(),
            "Kavfiltr.sys is still in the driver folder")
    require(not installed(prefix).exists(), f"{installed(prefix)} is still there")


def case_cleanup(args, prefix):
    if prefix.exists():
        stop_server(prefix)
        shutil.rmtree(prefix, ignore_errors=True)


def run_step(tool, args, cases):
    """Runs the step args.case, case_<step> of cases, in the prefix args.prefix: 0 when it passed, 77 when it
    was skipped, 1 when it failed."""
    prefix = Path(args.prefix)
    try:
        if not WINE.exists():
            raise Skip("Wine (wine64) is not installed")
        if args.case != "prefix" and args.case != "cleanup" and not (prefix / "system.reg").exists():
            raise Skip("no prepared prefix (the prefix step was skipped)")
        cases[f"case_{args.case}"](args, prefix)
    except Skip as skip:
        print(f"{tool} {args.case}: skipped: {skip}")
        return SKIP
    except Failure as failure:
        print(f"{tool} {args.case}: {failure}", file=sys.stderr)
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["prefix", "refused", "install", "driver", "kavelor", "reinstall", "running",
                                         "keep", "uninstall", "cleanup"])
    parser.add_argument("--archive", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--exe32", required=True)
    parser.add_argument("--exe64", required=True)
    parser.add_argument("--out", required=True)
    return run_step("package_wine", parser.parse_args(), globals())


if __name__ == "__main__":
    sys.exit(main())
