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
backup=$root/backup
logs=(server-sim host phone-lan phone-relay)
# shellcheck source=scripts/demo-common.sh
source "$(dirname "$0")/demo-common.sh"

# The host runs from the sandbox's runtime folder.
demo_start "$bin"/orbalyn-host "$bin"/*.so "$bin"/*.ico

step "sample photos"
"$bin/make-sample-photos" "$photos" | sed 's/^/   /' || fail "cannot make the sample photos"

step "server simulator on 127.0.0.1"
start_server_sim
echo "   entry port $entry_port, relay port $relay_port"

step "headless host loading Orbalyn.so, backup folder $backup"
ORBALYN_ENTRY_SERVER=127.0.0.1:$entry_port "$root/bin/orbalyn-host" --backup "$backup" \
  --stop-file "$root/stop-host" --run-seconds 900 >"$root/host.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")
bind_line=$(wait_for_line "$root/host.log" '^bind-info [0-9a-f]+$' 90) ||
  fail "the host did not come online with bind information"
bind_hex=${bind_line#bind-info }
# The text the QR code encodes; phone-sim --bind-info takes it as it stands.
echo "   $bind_line"
grep -m1 '^bind pc=' "$root/host.log" | sed 's/^/   /'
# The QR symbol the GUI would show, as the host drew it.
sed -n '/^bind pc=/,/^logic /p' "$root/host.log" | sed '1d;$d'

run_phone() {
  start_phone "$@"
  finish_phone "$2"
}

step "phone 1 on the local network: bind and back up"
run_phone "Ostra 8 LAN" phone-lan "$bind_hex" --phone-id 880001 || fail "phone 1 did not back up its photos"

# A relayed phone frame must fit inside one server frame (64 KB with its header), so this
# phone sends smaller chunks.
step "phone 2 through the server's relay: bind and back up"
run_phone "Marlo S2 Relay" phone-relay "$bind_hex" --phone-id 880002 --port "$relay_port" --chunk 32768 ||
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

check_backup "Ostra 8 LAN" "Marlo S2 Relay"

ok=1
echo "DEMO OK: 2 phones (LAN and relay) backed up $count photos, every one checked"
