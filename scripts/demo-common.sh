# What the demos share (sourced by scripts/demo.sh and scripts/demo-gui.sh): the sandbox root,
# its program folder, the children killed at exit, failing with the logs' last lines, waiting for
# a peer's line, the phone simulator, and checking every backed-up file against its source.
#
# The caller sets `bin` (the built files), `keep` (0 or 1), `root` (the new sandbox) and `backup`
# (the backup folder), and `logs` (the names of its own logs under $root, without ".log"), then
# calls demo_start; it adds each child it starts to `pids` and sets ok=1 once all went well.

photos=$root/phone/DCIM/Camera
pids=()
ok=0
main_shell=$BASHPID

demo_cleanup() {
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

step() { echo "== $*"; }

fail() {
  echo "demo: $*"
  local log library_log
  for log in "${logs[@]}"; do
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

# Arms the clean-up, says where the sandbox is, and places the named built files in its runtime
# folder $root/bin (links where it can), so the log the library writes beside itself stays in
# the sandbox too.
demo_start() {
  trap demo_cleanup EXIT
  trap 'exit 130' INT TERM
  if ((keep)); then
    step "sandbox $root (kept at the end)"
  else
    step "sandbox $root (removed at the end unless --keep or LUMIDOCK_KEEP=1)"
  fi
  mkdir -p "$root/bin"
  local file
  for file in "$@"; do
    [[ -f "$file" ]] || continue
    ln "$file" "$root/bin/" 2>/dev/null || cp "$file" "$root/bin/" || fail "cannot place $file"
  done
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

# Starts the server simulator with the ports its arguments ask for (port 0: a free one) and sets
# entry_port and relay_port.
start_server_sim() {
  # The run time only bounds its life should the script be killed outright.
  "$bin/server-sim" --entry-port 0 --comm-port 0 --relay-port 0 "$@" --run-seconds 900 \
    </dev/null >"$root/server-sim.log" 2>&1 &
  pids+=("$!")
  entry_port=$(wait_for_line "$root/server-sim.log" '^entry-port [0-9]+$' 20 | cut -d' ' -f2) ||
    fail "the server simulator did not start"
  relay_port=$(wait_for_line "$root/server-sim.log" '^relay-port [0-9]+$' 5 | cut -d' ' -f2) ||
    fail "the server simulator has no relay port"
}

# Starts phone $1 (display name), logging to $root/$2.log, with bind information $3 (the QR
# text) and further options: it binds, backs up $photos and finishes. In the background, so a
# signal to the script ends it at once; phone_pid is its process. The phone on the "LAN" dials
# 127.0.0.1 at the bind information's port: its own address may be an interface no
# loopback-only run may use.
start_phone() {
  local name=$1 log=$2 hex=$3
  shift 3
  timeout 180 "$bin/phone-sim" --host 127.0.0.1 --bind-info "$hex" --name "$name" \
    --key-file "$root/$log.key" "$@" bind upload "$photos" finish >"$root/$log.log" 2>&1 &
  phone_pid=$!
  pids+=("$phone_pid")
}

# Waits for the phone started last, shows its steps; its exit status.
finish_phone() {
  local log=$1 status
  wait "$phone_pid"
  status=$?
  grep -E '^(connect|bind|upload|finish):' "$root/$log.log" | sed 's/^/   /'
  return $status
}

# Lists the backup folder as the user sees it and checks, for each phone named, every source
# photo against its copy under <phone>/Camera: content, date, no partial file left. Sets count.
check_backup() {
  step "the backup folder as the user sees it"
  (cd "$backup" && find . -type f ! -path './.private/*' ! -name desktop.ini \
    -printf '%TY-%Tm-%Td %TH:%TM  %9s  %P\n' | sort -k4) | sed 's/^/   /'

  step "checking every file against its source"
  local phone source relative target leftovers
  count=0
  for phone in "$@"; do
    while IFS= read -r -d '' source; do
      relative=${source#"$photos"/}
      target="$backup/$phone/Camera/$relative"
      [[ -f "$target" ]] || fail "missing: $phone/Camera/$relative"
      cmp -s "$source" "$target" || fail "content differs: $phone/Camera/$relative"
      [[ $(stat -c %Y "$source") == $(stat -c %Y "$target") ]] ||
        fail "date differs: $phone/Camera/$relative"
      count=$((count + 1))
    done < <(find "$photos" -type f -print0)
  done
  leftovers=$(find "$backup" -name '*.pdl' | wc -l)
  ((leftovers == 0)) || fail "$leftovers partial files left in the backup folder"
  echo "   $count files identical to their sources, dates kept, no partial file left"
}
