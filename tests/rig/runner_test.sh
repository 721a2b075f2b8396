#!/usr/bin/env bash
# Tests of run-in-rig.sh itself: exit-status passthrough, the options, the
# daemon's readiness and that nothing the rig started outlives it.
# Usage: runner_test.sh RUNNER    (needs root, like the rig)
set -u
R=$(readlink -f "${1:?usage: runner_test.sh path/to/run-in-rig.sh}")
failures=0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# --- exit status passthrough: COMMAND's status, signals as 128+N ----------
while read -r want cmd; do
  out=$("$R" -- bash -c "$cmd" 2>/dev/null)
  got=$?
  [ "$got" -eq "$want" ] || fail "status of '$cmd': want $want, got $got"
done <<'CASES'
0 exit 0
1 exit 1
3 exit 3
42 exit 42
255 exit 255
137 kill -KILL $$
143 kill -TERM $$
CASES

# Rig set-up failures are 125 and never reach the command.
while read -r why args; do
  # shellcheck disable=SC2086
  out=$("$R" $args -- touch "$tmp/ran" 2>&1)
  got=$?
  [ "$got" -eq 125 ] || fail "$why: want 125, got $got"
  [ ! -e "$tmp/ran" ] || fail "$why: the command ran"
  [ -n "$out" ] || fail "$why: no message"
  rm -f "$tmp/ran"
done <<'CASES'
unknown-option --frobnicate
bind-missing-source --bind /nonexistent/src:/mnt
bind-without-target --bind /tmp
veth-not-ipv4 --veth fe80::1/64
second-veth-not-ipv4 --veth 192.0.2.1/24 --veth fe80::1/64
hostname-empty --hostname=
CASES
out=$("$R" 2>&1); [ $? -eq 125 ] || fail "no command: want 125"

# Not root: a clear message and a failure, never a silent skip.
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups -- "$R" -- true 2>&1)
got=$?
[ "$got" -ne 0 ] || fail "non-root run succeeded"
case $out in *root*) ;; *) fail "non-root message does not say why: $out" ;; esac

# --- what the command sees ------------------------------------------------
# Readers are listed at once (readiness was awaited), in our own namespace.
out=$("$R" -- bash -c 'echo "rig=$VD_RIG pid=$VD_RIG_PCSCD_PID"; test -s "$VD_RIG_PCSCD_LOG" && echo log-ok;
  opensc-tool -l; ip -4 -o addr | wc -l' 2>&1)
case $out in *rig=1*) ;; *) fail "VD_RIG not set: $out" ;; esac
case $out in *"pid="[0-9]*) ;; *) fail "VD_RIG_PCSCD_PID not set: $out" ;; esac
case $out in *log-ok*) ;; *) fail "VD_RIG_PCSCD_LOG not a non-empty file: $out" ;; esac
case $out in *"Virtual PCD 00 00"*"Virtual PCD 00 01"*) ;; *) fail "readers not listed: $out" ;; esac
[ "$(printf '%s\n' "$out" | tail -n 1)" = 1 ] || fail "more than loopback in the rig's network: $out"

# stdin reaches the command.
out=$(printf 'line1\nline2\n' | "$R" -- cat 2>/dev/null)
[ "$out" = $'line1\nline2' ] || fail "stdin not passed through: '$out'"

# The command runs in the caller's directory.
out=$(cd "$tmp" && "$R" -- pwd 2>/dev/null)
[ "$out" = "$tmp" ] || fail "working directory: want $tmp, got '$out'"

# --no-pcscd: no daemon, no socket, and the host's daemon is out of reach.
out=$("$R" --no-pcscd -- bash -c 'echo "pid=[$VD_RIG_PCSCD_PID]"; ls -A /run/pcscd | wc -l' 2>&1)
[ "$out" = $'pid=[]\n0' ] || fail "--no-pcscd: $out"

# --pid: only the rig's processes are visible.
out=$("$R" --pid -- ps -ax -o comm= 2>&1)
n=$(printf '%s\n' "$out" | wc -l)
[ "$n" -le 4 ] || fail "--pid: too many processes visible: $out"
case $out in *pcscd*) ;; *) fail "--pid: pcscd not visible: $out" ;; esac

# --hostname, --veth and --bind (both repeatable; addresses in the order given).
mkdir -p "$tmp/a" "$tmp/b" "$tmp/ta" "$tmp/tb"
echo A > "$tmp/a/f"; echo B > "$tmp/b/f"
out=$("$R" --hostname rig-test-host --veth 192.0.2.77/24 --veth 192.0.2.78/24 --bind "$tmp/a:$tmp/ta" \
  --bind "$tmp/b:$tmp/tb" -- bash -c "hostname; ip -4 -o addr show | grep -o '192\.0\.2\.7./24'; cat $tmp/ta/f $tmp/tb/f" 2>&1)
[ "$out" = $'rig-test-host\n192.0.2.77/24\n192.0.2.78/24\nA\nB' ] || fail "hostname/veth/bind: $out"
[ "$(hostname)" != rig-test-host ] || fail "--hostname leaked out of the rig"
[ ! -e "$tmp/ta/f" ] || fail "--bind leaked out of the rig"

# --- cleanup: the daemon dies with the rig, however the rig ends ----------
pcscd_gone() {  # pid -> true once no pcscd runs under that pid
  local d=$((SECONDS + 15))
  while [ $SECONDS -lt $d ]; do
    [ "$(cat "/proc/$1/comm" 2>/dev/null)" = pcscd ] || return 0
    sleep 0.01
  done
  return 1
}
daemon_under() {  # the pid of the pcscd among the descendants of $1
  ps -e -o pid=,ppid=,comm= | awk -v root="$1" '
    { pid[NR] = $1; ppid[NR] = $2; comm[NR] = $3 }
    END {
      mine[root] = 1
      do { grew = 0
        for (i = 1; i <= NR; i++) if ((ppid[i] in mine) && !(pid[i] in mine)) { mine[pid[i]] = 1; grew = 1 }
      } while (grew)
      for (i = 1; i <= NR; i++) if ((pid[i] in mine) && comm[i] == "pcscd") print pid[i]
    }'
}
for mode in exit0 exit1 term-runner kill-runner term-runner-pid kill-runner-pid; do
  rm -f "$tmp/pid"
  case $mode in
    exit0|exit1)
      "$R" -- bash -c "echo \$VD_RIG_PCSCD_PID > $tmp/pid; [ $mode = exit0 ]" 2>/dev/null ;;
    *)
      opt=; case $mode in *-pid) opt=--pid ;; esac
      # With --pid the daemon's pid inside differs; read it from outside.
      "$R" $opt -- bash -c "echo ready > $tmp/pid; exec sleep 60" 2>/dev/null &
      rp=$!
      d=$((SECONDS + 20))
      while [ ! -s "$tmp/pid" ] && [ $SECONDS -lt $d ]; do sleep 0.01; done
      dpid=$(daemon_under "$rp")
      [ -n "$dpid" ] || fail "$mode: no pcscd found under the rig"
      echo "$dpid" > "$tmp/pid"
      case $mode in
        term-*) kill -TERM "$rp" ;;
        kill-*) # the runner and unshare both die hard; the inner half is told by --kill-child
          kill -KILL $(ps -o pid= --ppid "$rp") "$rp" ;;
      esac
      wait "$rp" 2>/dev/null
      ;;
  esac
  dpid=$(cat "$tmp/pid" 2>/dev/null)
  [ -n "$dpid" ] || { fail "$mode: no daemon pid"; continue; }
  pcscd_gone "$dpid" || fail "$mode: pcscd $dpid still runs after the rig ended"
done

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all runner tests passed"
