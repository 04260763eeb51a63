#!/usr/bin/env bash
# The main job: builds every Windows deliverable into dist/ and runs the simulated PC's demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in win64 win32 host; do
    [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
echo
echo "Windows deliverables in dist/:"
ls -l dist/
echo
build/host/lab/kavlab demo "$@"
