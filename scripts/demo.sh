#!/usr/bin/env bash
# The main job without set-up and build: a phone's photos backed up to this PC, end to end, on
# loopback only.
#
#   scripts/demo.sh <bin folder> [--keep]
#
# In a fresh sandbox root: the server simulator, the headless host loading Orbalyn.so, sample
# photos, then one phone that binds and backs them up directly on the "LAN" (127.0.0.1) and a
# second one that does the same through the server's relay. Lists the backup folder as the user
# would see it and checks every file against its source. Exit status 0 only on success. Every
# child process is killed at exit; the sandbox (backup folder included) is removed on success,
# unless --keep or LUMIDOCK_KEEP=1 asks to keep it, and kept on failure.
set -uo pipefail

bin=${1:-}
keep=${LUMIDOCK_KEEP:-0}
[[ ${2:-} == --keep ]] && keep=1
if [[ -z "$bin" || ! -x "$bin/orbalyn-host" || $# -gt 2 || ($# -eq 2 && ${2:-} != --keep) ]]; then
  echo "usage: scripts/demo.sh <bin folder with orbalyn-host, server-sim, phone-sim> [--keep]" >&2
  exit 2
fi
[[ $keep == 1 ]] || keep=0
bin=$(cd "$bin" && pwd)

root=$(mktemp -d "${TMPDIR:-/tmp}/lumidock-demo-XXXXXX")
export LUMIDOCK_ROOT=$root
# Nothing may leave the machine: reports stay in the sandbox's spool.
unset ORBALYN_REPORT_SERVER
pids=()
ok=0
main_shell=$BASHPID

cleanup() {
  # Once, and only in the script's own shell (never in a subshell that inherited the trap).
  [[ $BASHPID == "$main_shell" ]] || return 0
  trap - EXIT INT TERM
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  if ((ok && !keep)); then
    rm -rf "$root"
    echo "demo: sandbox $root removed (--keep or LUMIDOCK_KEEP=1 keeps it)"
  elif ((ok)); then
    echo "demo: sandbox kept: $root"
    echo "demo: the backed-up photos are in $backup"
  else
    echo "demo: sandbox kept for inspection: $root"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { echo "== $*"; }

fail() {
  echo "demo: $*"
  local log library_log
  for log in server-sim host phone-lan phone-relay; do
    if [[ -s "$root/$log.log" ]]; then
      echo "--- last lines of $log.log"
      tail -n 15 "$root/$log.log"
    fi
  done
  # The library writes its own log beside itself.
  library_log=$(ls -t "$root"/bin/Orbalyn.so-*.log 2>/dev/null | head -n 1)
  if [[ -n "$library_log" ]]; then
    echo "--- last lines of $library_log"
    tail -n 15 "$library_log"
  fi
  echo "DEMO FAILED: $*"
  exit 1
}

# Waits up to $3 seconds for a line of file $1 matching the extended regex $2; prints it.
wait_for_line() {
  local file=$1 pattern=$2 seconds=$3 line
  local deadline=$((SECONDS + seconds))
  while ((SECONDS < deadline)); do
    line=$(grep -m1 -E "$pattern" "$file" 2>/dev/null) && { echo "$line"; return 0; }
    sleep 0.2
  done
  return 1
}

photos=$root/phone/DCIM/Camera
backup=$root/backup

if ((keep)); then
  step "sandbox $root (kept at the end)"
else
  step "sandbox $root (removed at the end unless --keep or LUMIDOCK_KEEP=1)"
fi
# The host runs from a runtime folder inside the sandbox (links to the built files), so the log
# the library writes beside itself stays in the sandbox too.
mkdir -p "$root/bin"
for file in "$bin"/orbalyn-host "$bin"/*.so "$bin"/*.ico; do
  [[ -f "$file" ]] || continue
  ln "$file" "$root/bin/" 2>/dev/null || cp "$file" "$root/bin/" || fail "cannot place $file"
done
step "sample photos"
"$bin/make-sample-photos" "$photos" | sed 's/^/   /' || fail "cannot make the sample photos"

step "server simulator on 127.0.0.1"
# The run times only bound the children's lives should this script be killed outright.
"$bin/server-sim" --entry-port 0 --comm-port 0 --relay-port 0 --run-seconds 900 </dev/null >"$root/server-sim.log" 2>&1 &
pids+=($!)
entry_port=$(wait_for_line "$root/server-sim.log" '^entry-port [0-9]+$' 20 | cut -d' ' -f2) ||
  fail "the server simulator did not start"
relay_port=$(wait_for_line "$root/server-sim.log" '^relay-port [0-9]+$' 5 | cut -d' ' -f2) ||
  fail "the server simulator has no relay port"
echo "   entry port $entry_port, relay port $relay_port"

step "headless host loading Orbalyn.so, backup folder $backup"
ORBALYN_ENTRY_SERVER=127.0.0.1:$entry_port "$root/bin/orbalyn-host" --backup "$backup" \
  --stop-file "$root/stop-host" --run-seconds 900 >"$root/host.log" 2>&1 &
host_pid=$!
pids+=($host_pid)
bind_line=$(wait_for_line "$root/host.log" '^bind-info [0-9a-f]+$' 90) ||
  fail "the host did not come online with bind information"
bind_hex=${bind_line#bind-info }
# The text the QR code encodes; phone-sim --bind-info takes it as it stands.
echo "   $bind_line"
grep -m1 '^bind pc=' "$root/host.log" | sed 's/^/   /'
# The QR symbol the GUI would show, as the host drew it.
sed -n '/^bind pc=/,/^logic /p' "$root/host.log" | sed '1d;$d'

run_phone() {
  local name=$1 log=$2
  shift 2
  # In the background and waited for, so a signal to this script ends it at once.
  timeout 180 "$bin/phone-sim" --host 127.0.0.1 --bind-info "$bind_hex" --name "$name" \
    --key-file "$root/$log.key" "$@" bind upload "$photos" finish >"$root/$log.log" 2>&1 &
  local pid=$!
  pids+=($pid)
  wait "$pid"
  local status=$?
  grep -E '^(connect|bind|upload|finish):' "$root/$log.log" | sed 's/^/   /'
  return $status
}

# The bind information's own address may be an interface no loopback-only run may use: the
# phone on the "LAN" dials 127.0.0.1 at the bind information's port.
step "phone 1 on the local network: bind and back up"
run_phone "Ostra 8 LAN" phone-lan --phone-id 880001 || fail "phone 1 did not back up its photos"

# A relayed phone frame must fit inside one server frame (64 KB with its header), so this
# phone sends smaller chunks.
step "phone 2 through the server's relay: bind and back up"
run_phone "Marlo S2 Relay" phone-relay --phone-id 880002 --port "$relay_port" --chunk 32768 ||
  fail "phone 2 did not back up its photos"

step "stopping the host"
touch "$root/stop-host"
deadline=$((SECONDS + 60))
while kill -0 "$host_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
kill -0 "$host_pid" 2>/dev/null && fail "the host did not stop"
wait "$host_pid"
host_status=$?
((host_status == 0)) || fail "the host ended with status $host_status"
grep -E '^host (stop|stopped)' "$root/host.log" | sed 's/^/   /'

step "the backup folder as the user sees it"
(cd "$backup" && find . -type f ! -path './.private/*' ! -name desktop.ini \
  -printf '%TY-%Tm-%Td %TH:%TM  %9s  %P\n' | sort -k4) | sed 's/^/   /'

step "checking every file against its source"
count=0
for phone in "Ostra 8 LAN" "Marlo S2 Relay"; do
  while IFS= read -r -d '' source; do
    relative=${source#"$photos"/}
    target="$backup/$phone/Camera/$relative"
    [[ -f "$target" ]] || fail "missing: $phone/Camera/$relative"
    want=$(sha256sum <"$source" | cut -d' ' -f1)
    have=$(sha256sum <"$target" | cut -d' ' -f1)
    [[ "$want" == "$have" ]] || fail "content differs: $phone/Camera/$relative"
    [[ $(stat -c %Y "$source") == $(stat -c %Y "$target") ]] ||
      fail "date differs: $phone/Camera/$relative"
    count=$((count + 1))
  done < <(find "$photos" -type f -print0)
done
leftovers=$(find "$backup" -name '*.pdl' | wc -l)
((leftovers == 0)) || fail "$leftovers partial files left in the backup folder"
echo "   $count files identical to their sources, dates kept, no partial file left"

ok=1
echo "DEMO OK: 2 phones (LAN and relay) backed up $count photos, every one checked"
