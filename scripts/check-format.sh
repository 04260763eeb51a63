#!/usr/bin/env bash
# Fails when any C or C++ source of the repository differs from what .clang-format makes of it.
set -euo pipefail
clang_format=${1:-clang-format-16}
# InsertBraces, which the style relies on, came with clang-format 16.
if ! command -v "$clang_format" >/dev/null; then
    echo "check-format: $clang_format is not installed (scripts/setup.sh installs it)" >&2
    exit 1
fi
version=$("$clang_format" --version | sed -n 's/.*version \([0-9]*\).*/\1/p')
if [ "${version:-0}" -lt 16 ]; then
    echo "check-format: $clang_format is version ${version:-unknown}; the style needs clang-format 16 or later" >&2
    exit 1
fi
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' '*.hpp' | grep -v '^build/' |
    xargs -r "$clang_format" --dry-run -Werror
