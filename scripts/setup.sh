#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine, as root. Fast when nothing is missing:
# it only asks apt when a package is not installed yet.
set -euo pipefail

packages=(
    cmake ninja-build g++ git clang-format
    libgtest-dev libgmock-dev googletest
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64
    nlohmann-json3-dev
    python3
    # Kavelor under Wine on a virtual display: the 64- and 32-bit Wine, Xvfb, a font with Japanese
    # glyphs, and the X tools the tests find windows and take screenshots with.
    wine wine64 wine32:i386 xvfb x11-utils imagemagick fonts-noto-cjk
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The 32-bit Wine comes from the i386 architecture, which apt must know before the update.
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
