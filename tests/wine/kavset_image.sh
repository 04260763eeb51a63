#!/usr/bin/env bash
# Checks the facts Windows relies on to start Kavset.exe as the tray application expects: a PE32+ image for
# the Windows GUI subsystem (no console window, not even a flash of one), its manifest embedded and asking
# for administrator rights (requireAdministrator, uiAccess false), version 1.0.1, and no DLL beside it
# needed: it imports from the system's own libraries only.
set -euo pipefail
image=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
check=kavset_image
source "$(dirname "$0")/../support/pe_image.sh"
require_pe32plus_subsystem 2 "Windows GUI"

# The manifest is stored as text in the resource section; the version strings as UTF-16.
manifest=$(grep -ao '<requestedExecutionLevel[^>]*>' "$image" || true)
[ -n "$manifest" ] || fail "no manifest with a requested execution level"
grep -q 'level="requireAdministrator"' <<<"$manifest" || fail "manifest does not require administrator rights"
grep -q 'uiAccess="false"' <<<"$manifest" || fail "manifest does not set uiAccess false"
versions=$(strings -el "$image" | grep -A1 -E '^(FileVersion|ProductVersion)$' || true)
[ "$(grep -c '^1\.0\.1$' <<<"$versions")" = 2 ] || fail "file and product version are not 1.0.1: $versions"

imports=$(grep -E 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort -u)
while read -r dll; do
    case "$dll" in
    advapi32.dll | kernel32.dll | msvcrt.dll | setupapi.dll | cfgmgr32.dll) ;;
    *) fail "imports from $dll, which Windows does not bring" ;;
    esac
done <<<"$imports"
echo "kavset_image: $image: PE32+, Windows GUI, requireAdministrator, version 1.0.1, imports: $(echo $imports)"
