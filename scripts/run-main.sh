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
# The guide's pictures of Kavelor's property dialog, main window and tray menu: Kavelor's own window code and
# resources under Wine (the tests of label wine). Where Wine or Xvfb is missing a test skips (77) and the
# guide goes without the property dialog's picture and keeps its drawings of the main window and the tray
# menu; a failure of a test stops the main job.
wine_pictures() { # NAME TEST_SCRIPT EXE: true when the test took its pictures into build/host/NAME
    local status=0
    python3 "$2" --source . --exe "$3" --prefix "build/host/$1/prefix" --out "build/host/$1" || status=$?
    case $status in
        0) return 0 ;;
        77) echo "run-main: the guide goes without the pictures of the $1 under Wine"; return 1 ;;
        *) exit "$status" ;;
    esac
}
dialog_picture=
main_picture=
menu_picture=
if wine_pictures property-dialog tests/wine/propdialog/property_dialog_wine_test.py \
    build/win64/tests/wine/propdialog/kavelor_property_dialog.exe; then
    dialog_picture=build/host/property-dialog/kavelor-property-dialog.png
fi
if wine_pictures main-window tests/wine/mainwindow/main_window_wine_test.py \
    build/win64/tests/wine/mainwindow/kavelor_main_window.exe; then
    main_picture=build/host/main-window/kavelor-main-window.png
    menu_picture=build/host/main-window/kavelor-tray-menu.png
fi
scripts/make-package.sh build/host/lab/kavlab-demo.txt build/host/lab/kavlab-demo.svg "$dialog_picture" \
    "$main_picture" "$menu_picture"
