#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the application and runs the real
# program on the test rig: a private pcscd with vpcd, two virtual cards (one
# with both profiles, keys and certificates; one that the token libraries do
# not know), the stand-in token libraries, fixture reader drivers and a card
# manager, all bound over /usr/lib64 and /opt inside private namespaces, so
# nothing on the host changes. Must run as root.
#
# With DISPLAY set, the window opens there and you press "Generuj raport" and
# "Zapisz raport" yourself; closing the window ends the rig. Without one, the
# program runs under Xvfb and is driven with xdotool as a user would: it
# presses "Generuj raport", saves the finished report through "Zapisz raport"
# to build/demo/report.rtf, scrolls the report to its top, writes a picture of
# the window to build/demo/window.png and prints both paths.
#
# For the test suite: --no-setup skips the packages and the build, --build DIR
# names the build tree (default build/release), --out DIR the directory of the
# results (default build/demo). Every failure ends in one line on stderr and a
# non-zero status; the details are in OUT/demo.log.
set -uo pipefail

me=$(readlink -f "$0")
root=$(cd "$(dirname "$me")/.." && pwd)

fail() {
  echo "demo.sh: $*" >&2
  exit 1
}

# Known card: the profile-version probe of a type-1 card (file 2F01) as the
# stand-in tokens' card in "Virtual PCD 00 00" answers it. The other card's
# 32-byte ATR is in no row of the card table.
readonly known_card_script='atr 3BBB1800C01031FE4580670412B00303000081053C
00A4000C 9000
00A4020C022F01 9000
00B000000D 000102030405060502060109009000'
readonly unknown_card_atr=3BFF9600008131FE4380318065B0846566FB12017882900085FFFFFFFFFFFFFF
readonly main_title='^Vantrelon Diagnostic$'
readonly save_title='^Zapis raportu diagnostycznego do pliku$'
readonly closing_line='Koniec raportu diagnostycznego'

# Polls "$@" every 0.1 s for at most $1 seconds.
poll() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# ---- inside the rig ---------------------------------------------------------
inside() {
  local out=$1 build=$2 log=$1/demo.log
  children=()
  stop_children() {
    local pid
    for pid in ${children[@]+"${children[@]}"}; do kill -TERM "$pid" 2>/dev/null; done
    wait 2>/dev/null
  }
  trap stop_children EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
  trap 'exit 129' HUP

  # Everything started from here works in the output directory; the save
  # dialog starts in the working directory.
  cd "$out" || fail "cannot enter $out"
  local vcard=$build/tests/support/vcard/vcard
  printf '%s\n' "$known_card_script" > known-card.script
  "$vcard" --port 35963 --script known-card.script >> "$log" 2>&1 &
  children+=($!)
  "$vcard" --port 35964 --atr "$unknown_card_atr" >> "$log" 2>&1 &
  children+=($!)
  shown() { opensc-tool -l 2> /dev/null | grep -c "Yes .*Virtual PCD 00 0[01]" | grep -qx 2; }
  poll 20 shown || fail "the virtual cards did not show in the rig's readers within 20 s"

  export P11STAND_FIXTURE=$out/tokens.fixture
  local app=$build/app/VantrelonDiagnostic
  if [ -n "${DISPLAY:-}" ]; then
    echo "demo: the window is open on $DISPLAY; press \"Generuj raport\", then \"Zapisz raport\"." \
         "Closing the window ends the demo."
    # Run in the background so that a signal to us still reaches our traps.
    "$app" 2>> "$log" < /dev/null &
    local app_pid=$!
    children+=("$app_pid")
    wait "$app_pid"
    local rc=$?
    [ $rc -eq 0 ] || fail "the application ended with status $rc"
    return 0
  fi

  # The X server listens only on its abstract socket, which belongs to the
  # rig's network namespace, and takes no lock file: nothing of it reaches
  # the host's /tmp, so it meets no other X server there. It never resets:
  # an X server resets when its last client leaves and drops a client that
  # connects meanwhile, as the program would right after any earlier one.
  # It writes its display number to descriptor 3 once it takes clients, so
  # no client has to knock first to find that out.
  export XDG_RUNTIME_DIR=$out/.runtime QT_QPA_PLATFORM=xcb DISPLAY=:1
  unset XDG_CURRENT_DESKTOP DESKTOP_SESSION QT_QPA_PLATFORMTHEME XAUTHORITY
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  rm -f xvfb.ready
  Xvfb :1 -screen 0 1920x1080x24 -nolock -noreset -nolisten tcp -nolisten unix -displayfd 3 \
    3> xvfb.ready >> "$log" 2>&1 &
  local xvfb_pid=$!
  children+=("$xvfb_pid")
  poll 10 eval '[ -s xvfb.ready ] || ! kill -0 "$xvfb_pid" 2> /dev/null'
  [ "$(cat xvfb.ready)" = 1 ] || fail "Xvfb did not start within 10 s"

  "$app" >> "$log" 2>&1 < /dev/null &
  local app_pid=$!
  children+=("$app_pid")
  local window='' dialog='' window_found=''
  find_window() {  # find_window TITLE: the first visible window of that title
    window_found=$(xdotool search --onlyvisible --name "$1" 2> /dev/null | head -n 1)
    [ -n "$window_found" ]
  }
  running() { kill -0 "$app_pid" 2> /dev/null; }
  poll 30 eval '! running || find_window "$main_title"'
  running || fail "the application ended at start-up"
  [ -n "$window_found" ] || fail "the application window did not appear within 30 s"
  window=$window_found

  # The form places "Generuj raport" at 376,10 and "Zapisz raport" at
  # 202,346 (112 x 23 each) below a menu bar of some 20 to 30 pixels; these
  # points hit both buttons for any bar height in that range.
  xdotool mousemove --window "$window" 432 45 click 1
  # "Zapisz raport" stays disabled until the report has finished, so its
  # dialog appearing means the whole report is in the view. Each press gets
  # time to open the dialog, so that no later press lands in it.
  save_dialog() {
    running || return 0
    find_window "$save_title" && return 0
    xdotool mousemove --window "$window" 258 380 click 1
    poll 2 find_window "$save_title"
  }
  poll 90 save_dialog || fail "the report did not finish within 90 s (\"Zapisz raport\" never opened its dialog)"
  running || fail "the application ended during the report"
  dialog=$window_found
  # Without a window manager nobody gives the dialog the keyboard.
  xdotool windowfocus --sync "$dialog" 2>> "$log"
  sleep 0.3
  xdotool type --delay 30 report.rtf
  xdotool key Return
  saved() { [ -f report.rtf ] && [ "$(tail -c ${#closing_line} report.rtf)" = "$closing_line" ]; }
  poll 20 saved || fail "the saved report $out/report.rtf does not end with \"$closing_line\""
  gone() { ! find_window "$save_title"; }
  poll 10 gone || fail "the save dialog did not close"
  # The view follows the report to its end; the picture shows its start, as a
  # user gets it: a click into the view (at 20,40, 468 x 271, below the menu
  # bar) gives it the keyboard, and Home scrolls the read-only view to the top.
  xdotool windowfocus --sync "$window" 2>> "$log"
  xdotool mousemove --window "$window" 254 200 click 1
  xdotool key Home
  # Let the window repaint where the dialog was and at the top of the view.
  sleep 1
  import -window "$window" "$out/window.png" 2>> "$log" || fail "cannot take a picture of the window"

  # "Menu", then its last entry "Zakończ", once the menu has opened.
  menu_open() { [ "$(xdotool search --onlyvisible --pid "$app_pid" 2> /dev/null | wc -l)" -ge 2 ]; }
  quit() {
    running || return 0
    menu_open || { xdotool mousemove --window "$window" 20 10 click 1; poll 2 menu_open || return 1; }
    xdotool key Up Return
    poll 3 eval '! running'
  }
  poll 20 quit || fail "the application did not end on \"Zakończ\""
  wait "$app_pid"
  local rc=$?
  [ $rc -eq 0 ] || fail "the application ended with status $rc after \"Zakończ\""
  echo "$out/report.rtf"
  echo "$out/window.png"
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
  exit $?
fi

# ---- outside: checks, set-up, then the rig ----------------------------------
setup=1
build=$root/build/release
out=$root/build/demo
while [ $# -gt 0 ]; do
  case $1 in
    --no-setup) setup=0; shift ;;
    --build) [ $# -ge 2 ] || fail "--build needs a directory"; build=$(readlink -f "$2"); shift 2 ;;
    --out) [ $# -ge 2 ] || fail "--out needs a directory"; out=$(readlink -m "$2"); shift 2 ;;
    *) fail "unknown argument: $1 (the demo takes none; see the head of $me)" ;;
  esac
done

[ "$(id -u)" -eq 0 ] || fail "must run as root: the rig needs private namespaces and bind mounts (uid is $(id -u))"
unshare --mount --net --pid --fork --propagation private true 2> /dev/null ||
  fail "cannot create private mount, network and PID namespaces here (unshare failed)"

mkdir -p "$out" || fail "cannot create $out"
log=$out/demo.log
: > "$log" || fail "cannot write $log"
if [ $setup -eq 1 ]; then
  cd "$root" || fail "cannot enter $root"
  echo "demo: installing packages and building (log: $log)"
  bash scripts/install-deps.sh >> "$log" 2>&1 || fail "installing the packages failed (see $log)"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >> "$log" 2>&1 ||
    fail "configuring the build failed (see $log)"
  cmake --build "$build" -j"$(nproc)" --target VantrelonDiagnostic vcard app_rig_fixture >> "$log" 2>&1 ||
    fail "the build failed (see $log)"
fi

fixture=$build/tests/app/rig-fixture-full
tokens=$root/tests/app/fixtures/p11stand-cards.fixture
for f in "$build/app/VantrelonDiagnostic" "$build/tests/support/vcard/vcard" "$fixture/lib64" "$fixture/opt"; do
  [ -e "$f" ] || fail "$f is missing: build first (bash scripts/demo.sh without --no-setup)"
done
case ${DISPLAY:-} in
  '' | :* | unix:*) ;;
  *) fail "DISPLAY=$DISPLAY is reached over the network, which the rig's private network cuts off; use a local display, or unset DISPLAY for the run under Xvfb" ;;
esac
if [ -z "${DISPLAY:-}" ]; then
  for tool in Xvfb xdotool import opensc-tool; do
    command -v "$tool" > /dev/null || fail "$tool is missing (bash scripts/install-deps.sh installs it)"
  done
fi
rm -f "$out/report.rtf" "$out/window.png"

# The report test's tokens, with a certificate of another size on the secure
# profile (the file's last token); its files named from here.
fixtures=$(dirname "$tokens")
{ sed "s|^attr CKA_VALUE file \([^/]\)|attr CKA_VALUE file $fixtures/\1|" "$tokens"
  printf '%s\n' object 'attr CKA_CLASS ulong CKO_CERTIFICATE' 'attr CKA_CERTIFICATE_TYPE ulong CKC_X_509' \
    'attr CKA_TOKEN bool 1' 'attr CKA_PRIVATE bool 0' "attr CKA_VALUE file $fixtures/cert-rsa2048.der" \
    'attr CKA_ID hex 0B' 'attr CKA_LABEL text Certyfikat uwierzytelnienia'
} > "$out/tokens.fixture" || fail "cannot write $out/tokens.fixture"

[ -n "${DISPLAY:-}" ] || echo "demo: no display; running the application under Xvfb"
"$root/tests/rig/run-in-rig.sh" --pid --veth 192.0.2.10/24 \
  --bind "$fixture/lib64:/usr/lib64" --bind "$fixture/opt:/opt" -- "$me" --inside "$out" "$build" 2>> "$log"
rc=$?
if [ $rc -eq 0 ]; then
  exit 0
fi
if [ $rc -eq 125 ]; then
  reason=$(grep -m 1 '^run-in-rig.sh: ' "$log" | sed 's/^run-in-rig.sh: //; s/; its log:$//')
  fail "the rig could not start: ${reason:-exit status 125} (see $log)"
fi
reason=$(grep '^demo.sh: ' "$log" | tail -n 1 | sed 's/^demo.sh: //')
fail "${reason:-the demo ended with status $rc} (see $log)"
