#!/usr/bin/env bash
# Fails when any C or C++ source of the repository differs from what .clang-format makes of it.
set -euo pipefail
clang_format=${1:-clang-format-16}
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' '*.hpp' | grep -v '^build/' |
    xargs -r "$clang_format" --dry-run -Werror
