#!/usr/bin/env bash
# demo_test.sh DEMO BUILD OUT
# Runs the demo once without a display (its set-up skipped: the build is
# ours) and checks what a newcomer gets: both paths printed, a saved report
# with the card number, both profile headings and the closing line, and a
# PNG picture of the 508 x 400 window that shows the report's top. Then
# each refusal: one line on stderr, a non-zero status, within seconds.
set -u
demo=$1 build=$2 out=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Processes that still name the output directory or work in it: the rig,
# the driver and everything it starts.
leftovers() {
  local d pid args
  for d in /proc/[0-9]*; do
    pid=${d#/proc/}
    [ "$pid" != $$ ] && [ "$pid" != "$BASHPID" ] || continue
    mapfile -d '' args 2> /dev/null < "$d/cmdline" || continue
    if [[ "${args[*]}" == *"$1"* ]] || [ "$(readlink "$d/cwd" 2> /dev/null)" = "$1" ]; then
      echo "$pid ${args[*]}"
    fi
  done
}

rm -rf "$out" "$out-refused"
mkdir -p "$(dirname "$out")"
env -u DISPLAY bash "$demo" --no-setup --build "$build" --out "$out" < /dev/null > "$out.stdout" 2> "$out.stderr"
rc=$?
if [ $rc -ne 0 ]; then
  fail "the demo ended with $rc: $(cat "$out.stderr")"
  tail -n 40 "$out/demo.log" >&2
fi
[ "$(tail -n 2 "$out.stdout")" = "$out/report.rtf
$out/window.png" ] || fail "the demo did not print both paths last: $(cat "$out.stdout")"
[ -z "$(leftovers "$out")" ] || fail "processes left running: $(leftovers "$out")"

report=$out/report.rtf
if [ -f "$report" ]; then
  for line in " Numer karty : 1234 5678 9012 3456" "  PROFIL ZWYKŁY" "  PROFIL BEZPIECZNY"; do
    grep -qxF "$line" "$report" || fail "the report has no line \"$line\""
  done
  [ "$(tail -c 30 "$report")" = "Koniec raportu diagnostycznego" ] ||
    fail "the report does not end with its closing line: ...$(tail -c 60 "$report")"
else
  fail "no saved report at $report"
fi
# format, width, height and number of colours, as imagemagick reads the file
picture=$(identify -format '%m %w %h %k' "$out/window.png" 2>&1)
read -r format width height colours <<< "$picture"
[ "$format $width $height" = "PNG 508 400" ] || fail "the picture is not a 508 x 400 PNG: $picture"
[ "${colours:-0}" -gt 16 ] 2> /dev/null || fail "the picture shows next to nothing: $picture"
# The view is scrolled to the report's start: the blue title stands in the
# view's first lines (the view is at 20,40 below a menu bar of 20 to 30
# pixels), where a view left at the report's end shows black lines. The share
# of blue pixels there, as ImageMagick's own convert counts them.
blue=$(/usr/bin/convert "$out/window.png" -crop 440x40+25+62 +repage -fuzz 30% -fill black +opaque '#0000ff' \
  -fill white -opaque '#0000ff' -format '%[fx:mean]' info: 2>&1)
awk -v b="$blue" 'BEGIN { exit !(b + 0 > 0.02) }' ||
  fail "the picture does not show the report's title at the top of the view (blue share: $blue)"

# Refusals: what, the words the line must hold, the command.
while IFS='|' read -r label words command; do
  start=$SECONDS
  bash -c "$command" < /dev/null > /dev/null 2> "$out-refused.stderr"
  rc=$?
  took=$((SECONDS - start))
  [ $rc -ne 0 ] || fail "$label: exit status 0"
  [ "$(wc -l < "$out-refused.stderr")" -eq 1 ] || fail "$label: not one line on stderr: $(cat "$out-refused.stderr")"
  grep -qF "$words" "$out-refused.stderr" || fail "$label: the line does not say \"$words\": $(cat "$out-refused.stderr")"
  [ $took -le 10 ] || fail "$label: took $took s"
  [ -z "$(leftovers "$out-refused")" ] || fail "$label: processes left running: $(leftovers "$out-refused")"
done << CASES
not root|must run as root|setpriv --reuid=65534 --regid=65534 --clear-groups env -u DISPLAY bash '$demo' --no-setup --build '$build' --out '$out-refused'
the rig's daemon does not start|the rig could not start|VD_RIG_PCSCD_ARGS=--no-such-option env -u DISPLAY bash '$demo' --no-setup --build '$build' --out '$out-refused'
CASES

[ $failures -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "demo passed: $(cat "$out.stdout" | tr '\n' ' ')"
