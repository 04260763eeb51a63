#!/usr/bin/env bash
# The main job: builds every Windows deliverable into dist/, runs the simulated PC's demo, and packs what a
# Windows user installs from, with the demo's figures in its guide: the archive dist/Kavelor-1.0.1.zip and
# the setup program dist/Kavelor-1.0.1-setup.exe, signed (with a test certificate unless KAV_SIGN_CERT
# names one; see scripts/sign.sh).
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
build/host/lab/kavlab demo "$@" | tee build/host/lab/kavlab-demo.txt
echo
scripts/make-package.sh build/host/lab/kavlab-demo.txt build/host/lab/kavlab-demo.svg
