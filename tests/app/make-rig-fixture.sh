#!/usr/bin/env bash
# make-rig-fixture.sh OUT P11STAND_DIR FIXTURES [full|sparse|partial]
# Lays out the trees that the end-to-end report test binds over /usr/lib64
# and /opt: reader-driver bundles of every kind the report meets, the two
# stand-in token libraries and a card manager. The sparse variant has an
# empty driver directory, only the secure-profile library, without
# "GetVersion", and a card manager that gives no version of its own. The
# partial variant has only the regular-profile library, no card manager
# (only the property list an uninstall left behind), and driver bundles
# that each lack one key. In the full variant the secure-profile library is
# a link to its versioned file, as libraries are installed.
set -euo pipefail
out=$1 p11=$2 fixtures=$3 variant=${4:-full}

rm -rf "$out"
lib="$out/lib64" opt="$out/opt"
mkdir -p "$lib/pcsc/drivers" "$opt"

plist() {  # plist FILE BODY
  mkdir -p "$(dirname "$1")"
  { printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
    printf '%s' "$2"
    printf '</dict>\n</plist>\n'; } > "$1"
}
card_manager() {  # card_manager VERSION
  mkdir -p "$opt/VantrelonCardManager"
  printf '#!/bin/sh\nexit 0\n' > "$opt/VantrelonCardManager/VantrelonCardManager"
  chmod 755 "$opt/VantrelonCardManager/VantrelonCardManager"
  plist "$opt/VantrelonCardManager/Info.plist" "<key>CFBundleShortVersionString</key><string>$1</string>
"
}
d="$lib/pcsc/drivers"

# Without the loader link no dynamic program would start under the bind.
cp -P /usr/lib64/ld-linux-x86-64.so.2 "$lib/"
if [ "$variant" = sparse ]; then
  card_manager 1.x.x
  cp "$p11/libp11stand_noversion.so" "$lib/libZenthary3PKCS.so"
  exit 0
fi
cp "$p11/libVelmartoken.so" "$lib/"
if [ "$variant" = partial ]; then
  plist "$opt/VantrelonCardManager/Info.plist" "<key>CFBundleShortVersionString</key><string>3.0.0</string>
"
  # Each bundle after the first lacks one key; the first has them all, so a
  # value carried over from it would show.
  plist "$d/a-complete.bundle/Contents/Info.plist" '<key>ifdManufacturerString</key><string>Czytniki Północ S.A.</string>
<key>ifdProductString</key><string>Czytnik zbliżeniowy</string>
<key>CFBundleExecutable</key><string>libzblizeniowy.so</string>
<key>CFBundleShortVersionString</key><string>5.0.1</string>
'
  plist "$d/b-nomanufacturer.bundle/Contents/Info.plist" '<key>ifdProductString</key><string>Czytnik bez producenta</string>
<key>CFBundleExecutable</key><string>libbezproducenta.so</string>
<key>CFBundleShortVersionString</key><string>1.2</string>
'
  plist "$d/c-noversionkey.bundle/Contents/Info.plist" '<key>ifdManufacturerString</key><string>Producent bez wersji</string>
<key>ifdProductString</key><string>Czytnik bez klucza wersji</string>
<key>CFBundleExecutable</key><string>libbezklucza.so</string>
'
  plist "$d/d-noexecutable.bundle/Contents/Info.plist" '<key>ifdManufacturerString</key><string>Producent bez biblioteki</string>
<key>ifdProductString</key><string>Czytnik bez biblioteki</string>
<key>CFBundleShortVersionString</key><string>2.2</string>
'
  exit 0
fi
cp "$p11/libZenthary3PKCS.so" "$lib/libZenthary3PKCS.so.1.4.0.18"
ln -s libZenthary3PKCS.so.1.4.0.18 "$lib/libZenthary3PKCS.so"

plist "$d/a-complete.bundle/Contents/Info.plist" '<key>ifdManufacturerString</key><string>Zakład Czytników Sp. z o.o.</string>
<key>ifdProductString</key><string>Czytnik Łącza</string>
<key>CFBundleExecutable</key><string>libczytnik.so</string>
<key>CFBundleShortVersionString</key><string>2.0.4</string>
'
plist "$d/b-noproduct.bundle/Contents/Info.plist" '<key>ifdManufacturerString</key><string>Bez Nazwy</string>
<key>CFBundleExecutable</key><string>libbez.so</string>
<key>CFBundleShortVersionString</key><string>1.1</string>
'
mkdir -p "$d/c-binary.bundle/Contents"
cp "$fixtures/driver-binary.plist" "$d/c-binary.bundle/Contents/Info.plist"
mkdir -p "$d/d-broken.bundle/Contents"
printf '<?xml version="1.0"?>\n<plist version="1.0"><dict><key>ifdProductString</key><string>urwany' \
  > "$d/d-broken.bundle/Contents/Info.plist"
plist "$d/e-noversion.bundle/Contents/Info.plist" '<key>ifdManufacturerString</key><string>Wersja Nieznana</string>
<key>ifdProductString</key><string>Czytnik bez wersji</string>
<key>CFBundleExecutable</key><string>libbezwersji.so</string>
<key>CFBundleShortVersionString</key><integer>3</integer>
'
mkdir -p "$d/f-empty.bundle"
# Debian's own CCID bundle links its property list from /etc, as installed.
mkdir -p "$d/ifd-ccid.bundle/Contents/Linux"
ln -s /etc/libccid_Info.plist "$d/ifd-ccid.bundle/Contents/Info.plist"

card_manager 3.2.1
