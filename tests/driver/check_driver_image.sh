#!/usr/bin/env bash
# Checks the facts Windows relies on to load Kavfiltr.sys as a kernel driver: a PE32+ image for the NT
# native subsystem, entered at DriverEntry, importing from the kernel (and the HAL) and nothing else.
set -euo pipefail
image=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
nm=${objdump%objdump}nm
check=check_driver_image
source "$(dirname "$0")/../support/pe_image.sh"
require_pe32plus_subsystem 1 "NT native"

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
base=$(awk '/^ImageBase/ {print $2}' <<<"$headers")
driver_entry=$("$nm" "$image" | awk '$3 == "DriverEntry" {print $1}' | head -n 1)
[ -n "$driver_entry" ] || fail "no DriverEntry symbol"
expected=$(printf '%x' $((0x$base + 0x$entry)))
actual=$(printf '%x' $((0x$driver_entry)))
[ "$expected" = "$actual" ] || fail "entry point 0x$expected is not DriverEntry (0x$actual)"

imports=$(grep -E 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
[ -n "$imports" ] || fail "imports nothing"
while read -r dll; do
    case "$dll" in
    ntoskrnl.exe | hal.dll) ;;
    *) fail "imports from $dll" ;;
    esac
done <<<"$imports"
grep -qx 'ntoskrnl.exe' <<<"$imports" || fail "does not import from ntoskrnl.exe"
echo "check_driver_image: $image: PE32+, native, entry DriverEntry, imports: $(echo $imports)"
