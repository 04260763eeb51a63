# Sourced by the checks of the Windows images: reads the image's PE headers into $headers, or ends the
# check as skipped (ctest's exit code 77) when the image or the tools are missing, as on a host-only build.
# Expects $check (the check's name), $image and $objdump; defines fail and require_pe32plus_subsystem.
fail() { echo "$check: $image: $*" >&2; exit 1; }

if [ ! -f "$image" ]; then
    echo "$check: skipped: $image is missing (build the win64 preset first)"
    exit 77
fi
command -v "$objdump" >/dev/null || { echo "$check: skipped: no $objdump"; exit 77; }
headers=$("$objdump" -p "$image")

# A PE32+ image for the given subsystem (1: NT native, 2: Windows GUI).
require_pe32plus_subsystem() {
    grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || fail "not PE32+"
    grep -Eq "^Subsystem[[:space:]]+0000000$1" <<<"$headers" || fail "subsystem is not $2"
}
