#!/usr/bin/env bash
# The GUI demo as scripts/run starts it on a machine without a display, twice. With --keep: DEMO
# OK, status 0, a picture per step, the sandbox kept with both phones' photos in it. With a phone
# that cannot start: status 1, the reason, the sandbox kept; either way no process the run
# started is left.
#
#   demo-gui-test.sh <scripts/demo-gui.sh> <bin folder> <scratch folder on the bin's disk>
set -uo pipefail

demo=$1
bin=$2
scratch=$3
problems=0
problem() {
  echo "FAILED: $*"
  problems=1
}

# The processes still running with the sandbox $1 as their root.
leftovers() {
  local environ
  for environ in /proc/[0-9]*/environ; do
    tr '\0' '\n' <"$environ" 2>/dev/null | grep -qxF "LUMIDOCK_ROOT=$1" &&
      echo "${environ%/environ}"
  done
}

# Runs the demo; sets status, output and the sandbox it named.
run() {
  output=$(DISPLAY='' LUMIDOCK_KEEP='' LUMIDOCK_DEMO_HOLD='' "$demo" "$@" 2>&1)
  status=$?
  sandbox=$(sed -n 's/^demo: sandbox kept[a-z ]*: //p' <<<"$output")
  [[ -n $sandbox ]] || problem "the run names no kept sandbox"
}

run "$bin" --keep
((status == 0)) || problem "the demo ended with $status"
grep -qx "DEMO OK: .* backed up 60 photos, every one checked" <<<"$output" ||
  problem "no DEMO OK line"
pictures=$(find "$(dirname "$bin")/artifacts/demo" -name "*.png" 2>/dev/null | wc -l)
((pictures == 8)) || problem "$pictures pictures, not 8"
for phone in "Ostra 8 LAN" "Marlo S2 Relay"; do
  photos=$(find "$sandbox/drives/d/Lumidock/$phone/Camera" -name '*.jpg' 2>/dev/null | wc -l)
  ((photos == 30)) || problem "$photos photos of $phone kept, not 30"
done
[[ -z $(leftovers "$sandbox") ]] || problem "processes left after the run: $(leftovers "$sandbox")"
((problems)) && echo "$output"
[[ -n $sandbox ]] && rm -rf "$sandbox"

# The same build without the phone simulator (hard links, so the programs' own folder stays
# this one and nothing they write lands in the build).
rm -rf "$scratch" && mkdir -p "$scratch" && cp -al "$bin" "$scratch/bin" && rm "$scratch/bin/phone-sim"
failures_before=$problems
run "$scratch/bin"
((status == 1)) || problem "a failed demo ended with $status, not 1"
grep -qx "DEMO FAILED: Ostra 8 LAN did not back up its photos" <<<"$output" ||
  problem "the failed demo does not say why"
grep -q "DEMO OK" <<<"$output" && problem "the failed demo says DEMO OK"
[[ -d $sandbox/drives/d/Lumidock ]] || problem "the failed demo's sandbox is gone"
[[ -z $(leftovers "$sandbox") ]] || problem "processes left after the failed run"
((problems > failures_before)) && echo "$output"
[[ -n $sandbox ]] && rm -rf "$sandbox"
rm -rf "$scratch"

((problems == 0)) && echo "demo-gui-test: both runs as they should be"
exit $problems
