#!/usr/bin/env bash
# The fence between the product and the simulation it is tested on: a file of a product folder includes
# nothing of winsim/, lab/ or tests/ by path (only the platform's own headers, which winsim/include stands
# in for on the host build), and never tests a macro that exists only on the host build, since the same
# source must mean the same on Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
products=(driver enumlib regtool trayapp)
present=()
for folder in "${products[@]}"; do
    [ -d "$folder" ] && present+=("$folder")
done
sources=$(git ls-files -co --exclude-standard -- "${present[@]/%//*.h}" "${present[@]/%//*.cpp}" \
    "${present[@]/%//*.rc}" | grep -v '^build/' || true)
[ -n "$sources" ] || exit 0

status=0
# Simulation headers by any path: "winsim/...", "driver/../winsim/...", <kernel/...>, "usb/...",
# "machine/...", "user/..."; the test and lab folders likewise.
if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](([^">]*/)?(winsim|lab|tests)/|(kernel|usb|machine|user)/)' \
    $sources; then
    echo "product-fence: product code includes the simulation, the lab or the tests by path" >&2
    status=1
fi
# Host-only macros: the host build's own (KAV_HOST, WINSIM_*), the Linux and C library ones.
host_macros='KAV_HOST|KAV_SANITIZE|WINSIM[A-Z0-9_]*|__linux__|__linux|__gnu_linux__|__unix__|__unix|__GLIBC__|__APPLE__'
if grep -nE "^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*\\b($host_macros)\\b" $sources; then
    echo "product-fence: product code tests a macro that exists only on the host build" >&2
    status=1
fi
exit $status
