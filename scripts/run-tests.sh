#!/usr/bin/env bash
# Every test: the Windows builds (their binaries are checked by host tests), then every host preset,
# plain and with the sanitizers, each built and run through ctest, and the fuzz preset's short runs (a fixed
# number of inputs from each fuzz target's seed corpus).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
status=0
for preset in win64 win32 host host-asan host-tsan fuzz; do
    [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
# The archive and the setup program the main job ships, so that their tests (label wine) check the real thing.
echo "=== dist/Kavelor-1.0.1.zip and dist/Kavelor-1.0.1-setup.exe"
if ! { build/host/lab/kavlab demo >build/host/lab/kavlab-demo.txt &&
    scripts/make-package.sh build/host/lab/kavlab-demo.txt build/host/lab/kavlab-demo.svg >/dev/null; }; then
    echo "the archive or the setup program could not be built" >&2
    status=1
fi
for preset in host host-asan host-tsan fuzz; do
    echo "=== ctest --preset $preset"
    ctest --preset "$preset" || status=1
done
exit $status
