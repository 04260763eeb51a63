#!/usr/bin/env bash
# Runs Kavset.exe under Wine, an independent implementation of Windows, and checks its exit code.
#   kavset_wine.sh setup PREFIX EXE        a fresh Wine prefix for this test run (the old one is removed)
#   kavset_wine.sh run PREFIX EXE CODE [ARGS...]  Kavset with ARGS must end with CODE
#   kavset_wine.sh cleanup PREFIX          stops the prefix's wine server and removes the prefix
# Every Wine call has a time limit, so a hanging Wine cannot hold up a test run. Exit code 77 (skipped)
# when Wine or the image is missing.
set -uo pipefail
action=$1
prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# The 64-bit loader: Kavset is a 64-bit program, and the 32-bit one may not run on a 64-bit-only kernel.
wine=""
for candidate in /usr/lib/wine/wine64 wine64 /usr/lib/x86_64-linux-gnu/wine/wine64; do
    if command -v "$candidate" >/dev/null 2>&1; then
        wine=$(command -v "$candidate")
        break
    fi
done
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
if [ -z "$wine" ]; then
    echo "kavset_wine: skipped: Wine (wine64) is not installed"
    exit 77
fi

case "$action" in
setup)
    if [ ! -f "${3:-}" ]; then
        echo "kavset_wine: skipped: ${3:-the image} is missing (build the win64 preset first)"
        exit 77
    fi
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    start=$(date +%s)
    timeout -k 10 240 "$wine" wineboot --init >/dev/null 2>&1
    status=$?
    timeout -k 5 60 "$wineserver" -w
    if [ $status -ne 0 ]; then
        echo "kavset_wine: wineboot failed with $status" >&2
        exit 1
    fi
    echo "kavset_wine: fresh prefix $prefix in $(($(date +%s) - start)) s"
    ;;
run)
    exe=$3
    expected=$4
    shift 4
    if [ ! -f "$exe" ]; then
        echo "kavset_wine: skipped: $exe is missing (build the win64 preset first)"
        exit 77
    fi
    [ -d "$prefix" ] || { echo "kavset_wine: no prefix $prefix (the setup test did not run)" >&2; exit 1; }
    timeout -k 10 120 "$wine" "$exe" "$@" >/dev/null 2>&1
    actual=$?
    if [ "$actual" != "$expected" ]; then
        echo "kavset_wine: Kavset.exe $* ended with $actual, expected $expected" >&2
        exit 1
    fi
    echo "kavset_wine: Kavset.exe $* -> $actual"
    ;;
cleanup)
    timeout -k 5 30 "$wineserver" -k >/dev/null 2>&1
    rm -rf "$prefix"
    ;;
*)
    echo "usage: kavset_wine.sh setup|run|cleanup PREFIX ..." >&2
    exit 2
    ;;
esac
