#!/usr/bin/env bash
# The standalone vcard program inside the rig: it inserts itself, answers
# scripted APDUs as opensc-tool sees them, logs what it received, and
# leaves the reader empty when stopped.
# Usage (inside the rig): vcard_program_test.sh path/to/vcard
set -u
V=${1:?usage: vcard_program_test.sh path/to/vcard}
[ "${VD_RIG:-}" = 1 ] || { echo "run me through run-in-rig.sh" >&2; exit 1; }
tmp=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cat > "$tmp/script" <<'SCRIPT'
# READ BINARY and a few SELECTs
atr 3B6E000080318066B0840C016E0183009000
00B0000004 0102030490 00
select A000000001 9000
00CA010000 6283
SCRIPT
# (the blank inside "0102030490 00" is not allowed: the program must say so)
"$V" --script "$tmp/script" --wait 1 > /dev/null 2> "$tmp/err"
[ $? -eq 2 ] || fail "a bad script line was accepted"
grep -q "line 3" "$tmp/err" || fail "the bad line is not named: $(cat "$tmp/err")"
sed -i 's/0102030490 00/010203049000/' "$tmp/script"

"$V" --port 35964 --script "$tmp/script" --log "$tmp/log" > "$tmp/out" 2> "$tmp/err" &
vc=$!
d=$((SECONDS + 15))
until grep -q inserted "$tmp/out" || [ $SECONDS -ge $d ]; do sleep 0.01; done
grep -q inserted "$tmp/out" || fail "vcard did not report its insertion: $(cat "$tmp/err")"
# pcscd shows the card once it has read the ATR.
until opensc-tool -l 2>/dev/null | grep -q "Yes.*Virtual PCD 00 01" || [ $SECONDS -ge $d ]; do sleep 0.01; done

atr=$(opensc-tool -r 1 -a 2>/dev/null)
[ "$atr" = "3b:6e:00:00:80:31:80:66:b0:84:0c:01:6e:01:83:00:90:00" ] || fail "ATR: '$atr'"

while read -r apdu want; do
  out=$(opensc-tool -r 1 -s "$apdu" 2>&1)
  case $out in *"$want"*) ;; *) fail "$apdu: want '$want' in: $out" ;; esac
done <<'CASES'
00B0000004 SW1=0x90, SW2=0x00
00A4040005A000000001 SW1=0x90, SW2=0x00
00A4040005A000000002 SW1=0x6A, SW2=0x82
00CA010000 SW1=0x62, SW2=0x83
80CA000000 SW1=0x6D, SW2=0x00
CASES
out=$(opensc-tool -r 1 -s 00B0000004 2>&1)
case $out in *"01 02 03 04"*) ;; *) fail "READ BINARY data missing: $out" ;; esac

for apdu in 00B0000004 00A4040005A000000002 80CA000000; do
  grep -qx "$apdu" "$tmp/log" || fail "$apdu not in the log"
done

kill -TERM $vc
wait $vc
rc=$?
[ $rc -eq 0 ] || fail "vcard ended with $rc on SIGTERM"
d=$((SECONDS + 15))
until opensc-tool -l 2>/dev/null | grep -q "No .*Virtual PCD 00 01" || [ $SECONDS -ge $d ]; do sleep 0.01; done
opensc-tool -l 2>/dev/null | grep -q "No .*Virtual PCD 00 01" || fail "the reader still shows a card"

# Stopping the daemon drops the card: the program notices and exits 3.
# The last run's "inserted" must be gone before this one starts, or the
# daemon could be stopped before the card is in.
: > "$tmp/out"
"$V" --port 35964 --script "$tmp/script" > "$tmp/out" 2> "$tmp/err" &
vc=$!
d=$((SECONDS + 15))
until grep -q inserted "$tmp/out" || [ $SECONDS -ge $d ]; do sleep 0.01; done
kill -TERM "$VD_RIG_PCSCD_PID"
d=$((SECONDS + 15))
while kill -0 $vc 2>/dev/null && [ $SECONDS -lt $d ]; do sleep 0.01; done
wait $vc
rc=$?
[ $rc -eq 3 ] || fail "vcard ended with $rc after the daemon stopped, want 3"

rm -rf "$tmp"
[ $failures -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "all vcard program tests passed"
