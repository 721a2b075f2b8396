#!/usr/bin/env bash
# run-in-rig.sh [options] [--] COMMAND ARGS...
#
# Runs COMMAND inside private mount and network namespaces beside a private
# pcscd, started by its absolute path, that has only the vpcd reader driver
# ("Virtual PCD 00 00" on TCP 35963, "Virtual PCD 00 01" on 35964). Rigs
# run side by side without clashing: each has its own loopback, its own
# ports and its own /run/pcscd. Returns COMMAND's exit status; 125 when the
# rig itself cannot be set up.
#
# Options:
#   --pid              also a PID namespace with its own /proc
#   --hostname NAME    also a UTS namespace with that host name
#   --bind SRC:DST     bind-mount SRC over DST (repeatable; split at the
#                      first ':')
#   --veth ADDR/PREFIX add a veth pair carrying that IPv4 address
#                      (repeatable: further addresses go onto the same
#                      link, in the order given)
#   --no-pcscd         start no daemon ("service not running")
#
# Inside: VD_RIG=1, VD_RIG_PCSCD_PID (empty with --no-pcscd),
# VD_RIG_PCSCD_LOG (the daemon's log file).
# Environment: VD_RIG_READY_SECONDS (default 20) bounds the wait for the
# daemon; VD_RIG_PCSCD_ARGS adds daemon options (e.g. "-d -a" to log APDUs);
# VD_RIG_KEEP_LOG=1 keeps the log directory after the run.
set -u

RIG_FAIL=125
me=$(readlink -f "$0")
rig_dir=$(dirname "$me")

die() {
  echo "run-in-rig.sh: $*" >&2
  exit $RIG_FAIL
}

usage() {
  sed -n '2,25p' "$me" | sed 's/^# \{0,1\}//' >&2
  exit $RIG_FAIL
}

inner=0
if [ "${1:-}" = "--rig-inner" ]; then
  inner=1
  shift
fi

orig_args=("$@")
opt_pid=0
opt_hostname=
opt_binds=()
opt_veths=()
opt_pcscd=1
while [ $# -gt 0 ]; do
  case $1 in
    --pid) opt_pid=1; shift ;;
    --hostname)
      [ $# -ge 2 ] && [ -n "$2" ] || die "--hostname needs a name"
      opt_hostname=$2; shift 2 ;;
    --hostname=*) opt_hostname=${1#*=}; [ -n "$opt_hostname" ] || die "--hostname needs a name"; shift ;;
    --bind)
      [ $# -ge 2 ] || die "--bind needs SRC:DST"
      opt_binds+=("$2"); shift 2 ;;
    --bind=*) opt_binds+=("${1#*=}"); shift ;;
    --veth)
      [ $# -ge 2 ] || die "--veth needs ADDR/PREFIX"
      opt_veths+=("$2"); shift 2 ;;
    --veth=*) opt_veths+=("${1#*=}"); shift ;;
    --no-pcscd) opt_pcscd=0; shift ;;
    -h|--help) usage ;;
    --) shift; break ;;
    -*) die "unknown option: $1 (see --help)" ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || die "no command given (see --help)"

for b in ${opt_binds[@]+"${opt_binds[@]}"}; do
  case $b in
    ?*:/*) ;;
    *) die "--bind wants SRC:DST with an absolute DST, got '$b'" ;;
  esac
done
for v in ${opt_veths[@]+"${opt_veths[@]}"}; do
  [[ $v =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}/[0-9]{1,2}$ ]] || die "--veth wants an IPv4 ADDR/PREFIX, got '$v'"
done

if [ $inner -eq 0 ]; then
  # Outer half: check what we can before entering the namespaces, then
  # re-run this script inside them with the same arguments.
  [ "$(id -u)" -eq 0 ] || die "must run as root (it creates namespaces and mounts); uid is $(id -u)"
  command -v unshare >/dev/null || die "unshare (util-linux) not found"
  command -v ip >/dev/null || die "ip (iproute2) not found"
  if [ $opt_pcscd -eq 1 ]; then
    command -v pcscd >/dev/null || die "pcscd not found (install pcscd and vsmartcard-vpcd)"
    [ -r /usr/lib/pcsc/drivers/serial/libifdvpcd.so ] || die "the vpcd driver is missing (install vsmartcard-vpcd)"
  fi
  ns=(--mount --net --propagation private)
  [ -n "$opt_hostname" ] && ns+=(--uts)
  [ $opt_pid -eq 1 ] && ns+=(--pid --mount-proc)
  # --kill-child: if unshare is killed, the inner half gets SIGTERM and
  # still stops its daemon; with --pid the whole namespace goes with it.
  # unshare itself ignores SIGTERM and SIGINT, so we stay in front of it
  # and hand those signals to the inner half.
  exec 3<&0
  unshare "${ns[@]}" --fork --kill-child=TERM -- "$me" --rig-inner "${orig_args[@]}" <&3 3<&- &
  unshare_pid=$!
  exec 3<&-
  forward() {
    local kids
    kids=$(ps -o pid= --ppid "$unshare_pid" 2>/dev/null)
    # shellcheck disable=SC2086
    [ -n "$kids" ] && kill -"$1" $kids 2>/dev/null
  }
  trap 'forward TERM' TERM
  trap 'forward INT' INT
  trap 'forward HUP' HUP
  rc=$RIG_FAIL
  while kill -0 "$unshare_pid" 2>/dev/null; do
    wait "$unshare_pid"
    rc=$?
  done
  exit $rc
fi

# ---- inner half: we are in the new namespaces -----------------------------

# The options were parsed again above; "$@" now is COMMAND.
pcscd_pid=
cmd_pid=
workdir=
status=$RIG_FAIL

proc_alive() {
  # A zombie child still answers kill -0, so look at its state.
  local st
  [ -r "/proc/$1/stat" ] || return 1
  st=$(sed -E 's/^[0-9]+ \(.*\) ([A-Za-z]).*/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$st" ] && [ "$st" != Z ] && [ "$st" != X ]
}

stop_pid() {
  local pid=$1 deadline
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null
  deadline=$((SECONDS + 10))
  while proc_alive "$pid" && [ $SECONDS -lt $deadline ]; do sleep 0.01; done
  if proc_alive "$pid"; then
    echo "run-in-rig.sh: pid $pid ignored SIGTERM for 10 s, killing it" >&2
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  return 0
}

cleanup() {
  trap - EXIT TERM INT HUP
  if [ -n "$cmd_pid" ] && proc_alive "$cmd_pid"; then stop_pid "$cmd_pid"; fi
  stop_pid "$pcscd_pid"
  if [ -n "$workdir" ]; then
    if [ $status -ne 0 ] && [ -s "$workdir/pcscd.log" ]; then
      echo "run-in-rig.sh: exit status $status; last lines of the pcscd log:" >&2
      tail -n 30 "$workdir/pcscd.log" >&2
    fi
    if [ "${VD_RIG_KEEP_LOG:-0}" = 1 ]; then
      echo "run-in-rig.sh: pcscd log kept in $workdir/pcscd.log" >&2
    else
      rm -rf "$workdir"
    fi
  fi
  exit $status
}
on_signal() {
  status=$((128 + $1))
  cleanup
}
trap cleanup EXIT
trap 'on_signal 15' TERM
trap 'on_signal 2' INT
trap 'on_signal 1' HUP

setup_fail() {
  echo "run-in-rig.sh: $*" >&2
  status=$RIG_FAIL
  exit $RIG_FAIL   # runs cleanup through the EXIT trap
}

ip link set lo up || setup_fail "cannot bring up loopback"
# vpcd's ports lie inside the range connections take their local ports
# from. A card that keeps knocking before the daemon listens (a daemon
# started on its first client) could then connect to itself and hold
# the port, and the daemon would come up without readers.
echo 35963-35964 > /proc/sys/net/ipv4/ip_local_reserved_ports ||
  setup_fail "cannot reserve vpcd's ports"
mkdir -p /run/pcscd
mount -t tmpfs -o mode=0755 tmpfs /run/pcscd || setup_fail "cannot mount a tmpfs over /run/pcscd"

if [ -n "$opt_hostname" ]; then
  hostname "$opt_hostname" || setup_fail "cannot set host name '$opt_hostname'"
fi

for b in ${opt_binds[@]+"${opt_binds[@]}"}; do
  src=${b%%:*}
  dst=${b#*:}
  [ -e "$src" ] || setup_fail "--bind source '$src' does not exist"
  [ -e "$dst" ] || setup_fail "--bind target '$dst' does not exist"
  mount --bind "$src" "$dst" || setup_fail "cannot bind '$src' over '$dst'"
done

if [ ${#opt_veths[@]} -gt 0 ]; then
  ip link add vd0 type veth peer name vd1 || setup_fail "cannot create a veth pair"
  # Added in the order given. A later address in the first one's subnet
  # is a secondary one, which the kernel always lists after the first.
  for v in "${opt_veths[@]}"; do
    ip addr add "$v" dev vd0 || setup_fail "cannot add address $v"
  done
  ip link set vd0 up && ip link set vd1 up || setup_fail "cannot bring up the veth pair"
fi

workdir=$(mktemp -d "${TMPDIR:-/tmp}/vd-rig.XXXXXX") || setup_fail "cannot create a work directory"
log="$workdir/pcscd.log"
: > "$log"

# Nothing of the caller's may point the client library elsewhere.
unset PCSCLITE_CSOCK_NAME

port_listening() {
  # $1: port as 4 upper-case hex digits; state 0A is LISTEN
  grep -qE "^ *[0-9]+: [0-9A-F]+:$1 [0-9A-F]+:0000 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

if [ $opt_pcscd -eq 1 ]; then
  # By its absolute path, as a desktop's init system starts it: the process
  # list then names the daemon's file, as users see it there.
  pcscd_bin=$(command -v pcscd) || setup_fail "pcscd not found"
  # --pdeathsig: the daemon goes down with us even if we are SIGKILLed.
  # shellcheck disable=SC2086
  setpriv --pdeathsig TERM -- "$pcscd_bin" --foreground -i -c "$rig_dir/reader.conf.d" \
    ${VD_RIG_PCSCD_ARGS:-} > "$log" 2>&1 < /dev/null &
  pcscd_pid=$!
  deadline=$((SECONDS + ${VD_RIG_READY_SECONDS:-20}))
  ready=0
  while [ $SECONDS -lt $deadline ]; do
    proc_alive "$pcscd_pid" || setup_fail "pcscd exited during start-up; its log:
$(cat "$log")"
    if grep -q "daemon ready" "$log" && port_listening 8C7B && port_listening 8C7C; then
      ready=1
      break
    fi
    sleep 0.005
  done
  [ $ready -eq 1 ] || setup_fail "pcscd with vpcd not ready within ${VD_RIG_READY_SECONDS:-20} s; its log:
$(cat "$log")"
fi

export VD_RIG=1
export VD_RIG_PCSCD_PID="$pcscd_pid"
export VD_RIG_PCSCD_LOG="$log"

# Run COMMAND in the background so that our traps can fire while it runs;
# hand it our stdin explicitly (a background job would get /dev/null).
exec 3<&0
"$@" <&3 3<&- &
cmd_pid=$!
exec 3<&-
wait "$cmd_pid"
status=$?
# wait returns >128 when a trapped signal interrupted it; on_signal has
# then already run cleanup and exited, so reaching here means COMMAND ended.
cmd_pid=
exit $status
