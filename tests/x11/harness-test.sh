#!/usr/bin/env bash
# The Xvfb harness itself: two runs side by side get their own display, home and tray; the
# command's status comes back; nothing it started outlives it; the real home folder is never
# written; a missing tool skips (77) unless LUMIDOCK_REQUIRE_GUI=1 makes it a failure.
set -u
harness=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "harness-test: $*" >&2; exit 1; }

# What a run reports about itself: its display, its folders, and the helpers it started.
cat >"$work/probe.sh" <<'EOF'
#!/usr/bin/env bash
out=$1
echo "display=$DISPLAY home=$HOME tmp=$TMPDIR runtime=$XDG_RUNTIME_DIR" >"$out"
echo "socket=$(stat -c %i "/tmp/.X11-unix/X${DISPLAY#:}")" >>"$out"
touch "$HOME/written-by-test" "$TMPDIR/scratch"
for p in $(pgrep -x openbox) $(pgrep -x trayer) $(pgrep -x Xvfb); do
  if tr '\0' '\n' </proc/$p/environ 2>/dev/null | grep -qx "DISPLAY=$DISPLAY" ||
     tr '\0' ' ' </proc/$p/cmdline 2>/dev/null | grep -q "$(dirname "$HOME")"; then
    echo "pid=$p" >>"$out"
  fi
done
xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null || exit 9
sleep 1
exit 3
EOF
chmod +x "$work/probe.sh"

before=$(ls -A "$HOME" | sort)
"$harness" --wm --tray -- "$work/probe.sh" "$work/a" &
a=$!
"$harness" --wm --tray=top -- "$work/probe.sh" "$work/b" &
b=$!
wait $a; status_a=$?
wait $b; status_b=$?
[[ $status_a == 3 && $status_b == 3 ]] || fail "statuses $status_a $status_b, expected 3 3"

display_a=$(sed -n 's/^display=\([^ ]*\).*/\1/p' "$work/a")
display_b=$(sed -n 's/^display=\([^ ]*\).*/\1/p' "$work/b")
[[ -n "$display_a" && "$display_a" != "$display_b" ]] || fail "displays '$display_a' '$display_b'"
for run in a b; do
  home=$(sed -n 's/.* home=\([^ ]*\).*/\1/p' "$work/$run")
  [[ "$home" != "$HOME" ]] || fail "run $run used the real home"
  [[ ! -e "$(dirname "$home")" ]] || fail "run $run left $(dirname "$home") behind"
  pids=$(sed -n 's/^pid=//p' "$work/$run")
  (($(echo "$pids" | wc -w) >= 3)) || fail "run $run: expected Xvfb, openbox and trayer, saw '$pids'"
  for p in $pids; do
    kill -0 "$p" 2>/dev/null && fail "run $run left process $p running"
  done
  number=${display_a#:}
  [[ $run == b ]] && number=${display_b#:}
  # Another test's X server may take the freed number at once: only this run's socket counts.
  socket=$(sed -n 's/^socket=//p' "$work/$run")
  [[ -n "$socket" ]] || fail "run $run saw no X socket"
  [[ "$(stat -c %i "/tmp/.X11-unix/X$number" 2>/dev/null)" != "$socket" ]] ||
    fail "run $run left its X socket"
done
[[ "$(ls -A "$HOME" | sort)" == "$before" ]] || fail "the real home folder changed"
[[ ! -e "$HOME/written-by-test" ]] || fail "the real home folder was written"

# A missing tool: skipped, or a failure when the GUI tests are required.
mkdir "$work/bin"
for tool in bash dirname mktemp mkdir rm cat tr sleep kill; do
  ln -s "$(command -v $tool)" "$work/bin/$tool"
done
env -u LUMIDOCK_REQUIRE_GUI PATH=$work/bin "$harness" -- true 2>/dev/null
[[ $? == 77 ]] || fail "a missing Xvfb did not skip"
LUMIDOCK_REQUIRE_GUI=1 PATH=$work/bin "$harness" -- true 2>/dev/null
[[ $? == 1 ]] || fail "a missing Xvfb did not fail with LUMIDOCK_REQUIRE_GUI=1"
echo "harness-test: ok"
