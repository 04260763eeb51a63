#!/usr/bin/env bash
# Builds what a Windows user installs from: the archive dist/Kavelor-1.0.1.zip (the three programs of dist/,
# the driver package Kavfiltr.inf, install.cmd and uninstall.cmd, the read-me, and the user guide
# Kavelor.pdf rendered from package/guide with the figures of a `kavlab demo` run filled in), and the setup
# program dist/Kavelor-1.0.1-setup.exe made from the same files by makensis (package/Kavelor.nsi). The
# programs in both and the setup program and its uninstaller are signed by scripts/sign.sh (with a test
# certificate unless KAV_SIGN_CERT names one).
#   scripts/make-package.sh DEMO_OUTPUT DEMO_CHART [PROPERTY_DIALOG_PNG [MAIN_WINDOW_PNG [TRAY_MENU_PNG]]]
# DEMO_OUTPUT is what `kavlab demo` printed, DEMO_CHART the kavlab-demo.svg it drew, PROPERTY_DIALOG_PNG the
# screenshot of the property dialog that the Wine test took (tests/wine/propdialog); without it the guide
# describes the dialog's speed-up group without the picture. MAIN_WINDOW_PNG and TRAY_MENU_PNG are the
# screenshots of the main window listing a stick and of the tray menu (tests/wine/mainwindow); they take the
# place of the drawings main-window.svg and tray-menu.svg, which stay where a picture is not given. An empty
# argument is the same as none. Windows tools read the text files with CRLF line ends; the read-me is UTF-8
# with a byte-order mark so that Notepad shows its Japanese half on every version.
set -euo pipefail
cd "$(dirname "$0")/.."
demo_output=$1
demo_chart=$2
property_dialog=${3:-}
main_window=${4:-}
tray_menu=${5:-}
version=1.0.1
work=build/package
stage=$work/Kavelor-$version
archive=dist/Kavelor-$version.zip
setup=dist/Kavelor-$version-setup.exe

for f in Kavfiltr.sys Kavset.exe Kavelor.exe; do
    [ -f "dist/$f" ] || { echo "make-package: dist/$f is missing (build the win64 and win32 presets)" >&2; exit 1; }
done
rm -rf "$work"
mkdir -p "$stage" "$work/guide"
cp dist/Kavfiltr.sys dist/Kavset.exe dist/Kavelor.exe "$stage/"
scripts/sign.sh "$stage/Kavfiltr.sys" "$stage/Kavset.exe" "$stage/Kavelor.exe"
for f in Kavfiltr.inf install.cmd uninstall.cmd ReadMe.txt; do
    sed 's/\r$//; s/$/\r/' "package/$f" >"$stage/$f"
done
sed -i '1s/^/\xef\xbb\xbf/' "$stage/ReadMe.txt"

# The demo's table rows: workload, commands/MiB off -> on, modelled MB/s off -> on, gain, verified.
rows=$(awk '$3 == "->" && $6 == "->" && NF == 9 {
    printf "<tr><td>%s</td><td>%s → %s</td><td>%s → %s</td><td>%s</td><td>%s</td></tr>\n", $1, $2, $4, $5, $7, $8, ($9 == "yes" ? "一致" : "不一致")
}' "$demo_output")
[ -n "$rows" ] || { echo "make-package: no result rows in $demo_output" >&2; exit 1; }
table="<table class=\"demo\"><tr><th>読み書き</th><th>1 MiB あたりのコマンド数（なし → あり）</th><th>速さ MB/s（なし → あり）</th><th>向上</th><th>データ</th></tr>$(tr -d '\n' <<<"$rows")</table>"
gains=$(awk '$3 == "->" && $6 == "->" && NF == 9 { printf "%s%s %s 倍", (n++ ? "、" : ""), ($1 == "seqread" ? "連続読み込み" : ($1 == "seqwrite" ? "連続書き込み" : ($1 == "seqread64k" ? "64 KiB ずつの連続読み込み" : $1))), substr($8, 1, length($8) - 1) }' "$demo_output")
summary="シミュレーションでは ${gains} の速さになり、読み書きしたデータはすべて一致しました。"
grep -q ' NO$' "$demo_output" && summary="シミュレーションでは ${gains} の速さでした。"
# The texts go into the page as they are: they hold no character that HTML or sed would read specially.
sed -e "s|@DEMO_TABLE@|${table}|" -e "s|@DEMO_SUMMARY@|${summary}|" package/guide/Kavelor.html >"$work/guide/Kavelor.html"
cp package/guide/guide.css package/guide/*.svg "$work/guide/"
if [ -n "$property_dialog" ]; then
    cp "$property_dialog" "$work/guide/property-dialog.png"
else
    sed -i '/<figure id="property-dialog">/,/<\/figure>/d' "$work/guide/Kavelor.html"
fi
if [ -n "$main_window" ]; then
    cp "$main_window" "$work/guide/main-window.png"
    sed -i 's|<img src="main-window.svg"|<img src="main-window.png" class="screenshot-window"|' "$work/guide/Kavelor.html"
fi
if [ -n "$tray_menu" ]; then
    cp "$tray_menu" "$work/guide/tray-menu.png"
    sed -i 's|<img src="tray-menu.svg"|<img src="tray-menu.png" class="screenshot-menu"|' "$work/guide/Kavelor.html"
fi
# The chart's labels in the guide's language; the figures stay as kavlab drew them.
sed -e 's|>Simulated USB 2.0 stick: modelled MB/s<|>シミュレーションの USB 2.0 メモリ: 速さ（MB/s）<|' \
    -e 's|>requests of 1 MiB (seqread, seqwrite) and 64 KiB (seqread64k)<|>1 回の読み書き 1 MiB（連続読み込み、連続書き込み）と 64 KiB（64 KiB ずつ読み込み）<|' \
    -e 's|>without<|>なし<|g' -e 's|>with Kavfiltr<|>Kavfiltr あり<|g' -e 's|>seqread<|>連続読み込み<|' \
    -e 's|>seqwrite<|>連続書き込み<|' -e 's|>seqread64k<|>64 KiB ずつ読み込み<|' \
    -e 's|>bus payload bound<|>バスの転送量の上限<|' "$demo_chart" >"$work/guide/kavlab-demo.svg"
weasyprint --quiet "$work/guide/Kavelor.html" "$stage/Kavelor.pdf"

rm -f "$archive"
(cd "$work" && zip -q -X -r "../../$archive" "Kavelor-$version")
echo "make-package: $archive"
unzip -l "$archive"

# The setup program's icon is the program's own.
python3 trayapp/res/draw_pictures.py "$work/pictures" >/dev/null
rm -f "$setup"
makensis -WX -V2 -DSTAGE="$PWD/$stage" -DOUTFILE="$PWD/$setup" -DICON="$PWD/$work/pictures/Kavelor.ico" \
    -DSIGN="$PWD/scripts/sign.sh" package/Kavelor.nsi
scripts/sign.sh "$setup"
echo "make-package: $setup"
ls -l "$setup"
