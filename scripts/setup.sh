#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine, as root. Fast when nothing is missing:
# it only asks apt when a package is not installed yet.
set -euo pipefail

packages=(
    cmake ninja-build g++ git
    # clang-format 16 and later insert the braces the style asks for on every body.
    clang-format-16
    libgtest-dev libgmock-dev googletest
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64
    nlohmann-json3-dev
    # The fuzz preset: clang 14 with its sanitizer and libFuzzer runtimes.
    clang-14 libclang-rt-14-dev
    # The Windows deliverables are run under Wine by the tests labelled wine: the 64-bit loader for
    # Kavset.exe and Kavfiltr.sys, the 32-bit one for Kavelor.exe.
    wine wine64 wine32:i386
    # Kavelor's Wine tests: a virtual display, a font with Japanese glyphs, the X tools that find windows
    # and take screenshots, and Python for the test itself.
    xvfb x11-utils imagemagick fonts-noto-cjk python3
    # The archive for Windows users: its guide rendered from HTML to PDF (with the CJK font above), the
    # pages rendered back to images by the archive test, and the zip itself.
    weasyprint poppler-utils zip unzip
    # The setup program: made by makensis, its programs Authenticode-signed by osslsigncode.
    nsis osslsigncode
)

# wine32 is an i386 package: the architecture must be known to dpkg before apt can find it.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture for wine32"
    dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # A mirror caught mid-sync fails one index now and then; try again, and go on with the lists that
    # did arrive rather than give up on packages they may well hold.
    for attempt in 1 2 3; do
        apt-get update -q && break
        echo "setup: apt-get update failed (attempt $attempt)" >&2
        sleep 10
    done
    native=()
    foreign=()
    for p in "${missing[@]}"; do
        case "$p" in
        *:i386) foreign+=("$p") ;;
        *) native+=("$p") ;;
        esac
    done
    # One package apt cannot have keeps it from installing all the others: then each one on its own, and
    # the ones still missing are named.
    if [ ${#native[@]} -gt 0 ] && ! apt-get install -y -q --no-install-recommends "${native[@]}"; then
        failed=()
        for p in "${native[@]}"; do
            apt-get install -y -q --no-install-recommends "$p" >/dev/null 2>&1 || failed+=("$p")
        done
        if [ ${#failed[@]} -gt 0 ]; then
            echo "setup: ERROR: could not install ${failed[*]}: their package lists or files could not be" \
                "fetched from the mirror; run scripts/setup.sh again later" >&2
            exit 1
        fi
    fi
    # The 32-bit Wine needs i386 libraries of exactly the versions of their 64-bit twins; while one
    # architecture's index is missing on the mirror they cannot be matched. Everything else still works
    # then, and the Wine tests of the 32-bit program say they were skipped.
    if [ ${#foreign[@]} -gt 0 ] &&
        ! apt-get install -y -q --no-install-recommends "${foreign[@]}"; then
        echo "setup: WARNING: ${foreign[*]} could not be installed; the 32-bit Wine tests will be skipped" >&2
    fi
fi
