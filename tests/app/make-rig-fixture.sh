#!/usr/bin/env bash
# make-rig-fixture.sh OUT P11STAND_DIR FIXTURES [sparse]
# Lays out the trees that the end-to-end report test binds over /usr/lib64
# and /opt: reader-driver bundles of every kind the report meets, the two
# stand-in token libraries and a card manager. The sparse variant has an
# empty driver directory, a secure-profile library without "GetVersion" and
# a card manager that gives no version of its own.
set -euo pipefail
out=$1 p11=$2 fixtures=$3 variant=${4:-full}

rm -rf "$out"
lib="$out/lib64" opt="$out/opt"
mkdir -p "$lib/pcsc/drivers" "$opt/VantrelonCardManager"

# Without the loader link no dynamic program would start under the bind.
cp -P /usr/lib64/ld-linux-x86-64.so.2 "$lib/"
cp "$p11/libVelmartoken.so" "$lib/"
if [ "$variant" = sparse ]; then
  printf '#!/bin/sh\nexit 0\n' > "$opt/VantrelonCardManager/VantrelonCardManager"
  chmod 755 "$opt/VantrelonCardManager/VantrelonCardManager"
  printf '<?xml version="1.0"?>\n<plist version="1.0"><dict><key>CFBundleShortVersionString</key><string>1.x.x</string></dict></plist>\n' \
    > "$opt/VantrelonCardManager/Info.plist"
  cp "$p11/libp11stand_noversion.so" "$lib/libZenthary3PKCS.so"
  exit 0
fi
cp "$p11/libZenthary3PKCS.so" "$lib/"

plist() {  # plist FILE BODY
  mkdir -p "$(dirname "$1")"
  { printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n'
    printf '%s' "$2"
    printf '</dict>\n</plist>\n'; } > "$1"
}
d="$lib/pcsc/drivers"
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

printf '#!/bin/sh\nexit 0\n' > "$opt/VantrelonCardManager/VantrelonCardManager"
chmod 755 "$opt/VantrelonCardManager/VantrelonCardManager"
plist "$opt/VantrelonCardManager/Info.plist" '<key>CFBundleShortVersionString</key><string>3.2.1</string>
'
