#!/usr/bin/env bash
# The main job on screen, without set-up and build: Harborlight from a cold start to two phones'
# photos on its photo page and out again, on loopback only.
#
#   scripts/demo-gui.sh <bin folder> [--keep]
#
# On $DISPLAY when an X server answers there, else on a private one (scripts/xvfb-run-test with
# a window manager and a tray). Everything goes through the program's test port, never the
# pointer: the first-run page, the folder page (drive D:), the QR page, whose bind symbol is
# read back from the window drawn off screen (zbarimg); a phone on the "LAN" (127.0.0.1) binds
# with what the screen showed and backs up 30 photos over 3 days, which appear on the photo
# page as 3 day groups; "添加新设备" brings the QR page back for a second phone, through the
# server's relay. It holds LUMIDOCK_DEMO_HOLD seconds (15 on a real display, 0 on the private
# one), quits by the tray menu's "退出", and checks every file against its source. A picture of
# each step lands in <bin folder>/../artifacts/demo. Exit status 0 and "DEMO OK" only on success.
# The sandbox root is removed on success unless --keep or LUMIDOCK_KEEP=1 asks to keep it, and
# kept on failure.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-}
keep=${LUMIDOCK_KEEP:-0}
[[ ${2:-} == --keep ]] && keep=1
if [[ -z "$bin" || ! -x "$bin/Harborlight" || $# -gt 2 || ($# -eq 2 && ${2:-} != --keep) ]]; then
  echo "usage: scripts/demo-gui.sh <bin folder with Harborlight, server-sim, phone-sim> [--keep]" >&2
  exit 2
fi
[[ $keep == 1 ]] || keep=0
bin=$(cd "$bin" && pwd)

[[ ${LUMIDOCK_DEMO_HOLD:-0} =~ ^[0-9]+$ ]] ||
  { echo "demo: LUMIDOCK_DEMO_HOLD must be whole seconds" >&2; exit 2; }
for tool in zbarimg convert; do
  command -v "$tool" >/dev/null ||
    { echo "demo: $tool is not installed (scripts/setup-deps installs it)" >&2; exit 1; }
done

# No X server to show on: run again on a private one. The sandbox must outlive the harness's own
# temporary folder, so the caller's TMPDIR travels along.
if [[ -z ${LUMIDOCK_DEMO_PRIVATE_X:-} ]] &&
  ! { [[ -n ${DISPLAY:-} ]] && xdpyinfo >/dev/null 2>&1; }; then
  echo "== no X display answers${DISPLAY:+ at $DISPLAY}: running on a private X server (Xvfb)"
  export LUMIDOCK_DEMO_PRIVATE_X=1 LUMIDOCK_DEMO_TMP=${TMPDIR:-/tmp} LUMIDOCK_REQUIRE_GUI=1
  exec "$here/xvfb-run-test" --wm --tray -- "$0" "$@"
fi
if [[ -n ${LUMIDOCK_DEMO_PRIVATE_X:-} ]]; then
  hold=${LUMIDOCK_DEMO_HOLD:-0}
else
  hold=${LUMIDOCK_DEMO_HOLD:-15}
fi

artifacts=$(dirname "$bin")/artifacts/demo
mkdir -p "$artifacts" && rm -f "$artifacts"/*.png
root=$(mktemp -d "${LUMIDOCK_DEMO_TMP:-${TMPDIR:-/tmp}}/lumidock-gui-demo-XXXXXX")
export LUMIDOCK_ROOT=$root
# Nothing may leave the machine, nor land in the user's home folder.
unset ORBALYN_REPORT_SERVER
export XDG_CACHE_HOME=$root/home/cache XDG_CONFIG_HOME=$root/home/config
export XDG_DATA_HOME=$root/home/data XDG_STATE_HOME=$root/home/state NO_AT_BRIDGE=1
backup=$root/drives/d/Lumidock
socket=$root/port/harborlight
logs=(server-sim harborlight phone-lan phone-relay)
# shellcheck source=scripts/demo-common.sh
source "$here/demo-common.sh"

port() { "$bin/harbor-drive" --socket "$socket" "$@"; }
# Waits up to $2 seconds (20 unless given) until the element at path $1 shows, or, with a third
# argument, hides.
wait_shown() { port wait MainWnd "$1" --timeout $((${2:-20} * 1000)) ${3:+--hidden} >/dev/null; }
picture() { port snapshot MainWnd "$artifacts/$1.png" || fail "no picture of the window for $1"; }
# The element's text as the tree tells it.
text_of() {
  port raw "{\"cmd\":\"find\",\"window\":\"MainWnd\",\"path\":\"$1\"}" |
    grep -o '"text":"[^"]*"' | head -n 1 | cut -d'"' -f4 | sed 's/\\\\/\\/g'
}

# The symbol of the QR picture at element path $1, read back from the window drawn off screen:
# the element's rectangle cut out of the snapshot, on a white border, through zbarimg.
read_qr() {
  local element=$1 name=$2 reply x y right bottom text
  reply=$(port raw "{\"cmd\":\"find\",\"window\":\"MainWnd\",\"path\":\"$element\"}") || return 1
  read -r x y right bottom < <(echo "$reply" | grep -o '"abs":\[[-0-9,]*\]' | tr -dc '0-9,\n' |
    tr ',' ' ')
  [[ -n ${bottom:-} ]] || return 1
  port snapshot MainWnd "$root/$name-window.png" || return 1
  convert "$root/$name-window.png" -crop "$((right - x))x$((bottom - y))+$x+$y" +repage \
    -bordercolor white -border 16 "$root/$name.png" || return 1
  text=$(zbarimg --quiet --raw "$root/$name.png" 2>/dev/null) || return 1
  [[ $(printf '%s\n' "$text" | wc -l) == 1 ]] || return 1
  echo "$text"
}

# Waits for the QR page's login, then reads its bind symbol into bind_hex (files $1*).
read_bind_symbol() {
  wait_shown QRCodePage/qrloading 90 hidden || fail "the QR page kept loading (no login)"
  bind_hex=""
  for ((i = 0; i < 20; i++)); do
    bind_hex=$(read_qr QRCodePage/qrCode_BindImg "$1") && break
    sleep 0.5
  done
  [[ $bind_hex =~ ^[0-9a-f]+$ ]] || fail "no bind symbol could be read off the QR page"
  echo "   bind symbol: $bind_hex"
}

# The program as installed: itself, the library, the layer, the stand-ins, layout, pictures.
demo_start "$bin"/{Harborlight,Ferrylink,Orbalyn.so,ZyIpc.so,dadovo.so} "$bin"/libwin32*.so \
  "$bin"/*.ico
mkdir -p "$root/drives/c" "$root/drives/d" "$root/port" "$root/home"
chmod 700 "$root/port"
cp -r "$bin/layout" "$bin/res" "$root/bin/" || fail "cannot place the layout and pictures"
# Two disks; D: has more room, so the folder page offers it.
export LUMIDOCK_DRIVES="C=$root/drives/c,free=21474836480;D=$root/drives/d,free=85899345920"

step "sample photos"
"$bin/make-sample-photos" "$(dirname "$photos")" --count 30 --days 3 | sed 's/^/   /' ||
  fail "cannot make the sample photos"

step "server simulator on 127.0.0.1 (entry, relay, web)"
start_server_sim --web-port 0
web_port=$(wait_for_line "$root/server-sim.log" '^web-port [0-9]+$' 5 | cut -d' ' -f2) ||
  fail "the server simulator has no web port"
echo "   entry port $entry_port, relay port $relay_port, web port $web_port"

step "Harborlight, first start, on display $DISPLAY"
ORBALYN_ENTRY_SERVER=127.0.0.1:$entry_port LUMIDOCK_WEB_SITE=http://127.0.0.1:$web_port \
  LUMIDOCK_LOGIN_SITE=http://127.0.0.1:$web_port HARBORLIGHT_TESTPORT=$socket \
  "$root/bin/Harborlight" >"$root/harborlight.log" 2>&1 &
program_pid=$!
pids+=("$program_pid")
for ((i = 0; i < 600; i++)); do
  port tree MainWnd >/dev/null 2>&1 && break
  kill -0 "$program_pid" 2>/dev/null || fail "Harborlight ended at start"
  sleep 0.1
done
((i < 600)) || fail "Harborlight's test port did not answer at $socket within 60 s"
wait_shown InitPage/nextStep || fail "the first-run page did not show"
picture 01-first-run

step "first-run page: 开始使用"
port click MainWnd InitPage/nextStep || fail "cannot click 开始使用"
wait_shown chooseDirFrame/nextStep || fail "the folder page did not show"
folder=$(text_of chooseDirFrame/dirEdit)
echo "   the page offers \"$folder\""
[[ $folder == 'D:\Lumidock' ]] || fail "the folder page offers \"$folder\", not D:\\Lumidock"
picture 02-folder

step "folder page: 下一步"
port click MainWnd chooseDirFrame/nextStep || fail "cannot click 下一步"
wait_shown QRCodePage/qrCode_BindImg || fail "the QR page did not show"
[[ -d $backup ]] || fail "the backup folder $backup was not made"
picture 03-qr-page

step "QR page: waiting for the login, then reading the bind symbol off the window"
read_bind_symbol bind-qr
picture 04-qr
download=$(read_qr QRCodePage/qrCode_DownUrlImg download-qr) ||
  fail "no download symbol could be read off the QR page"
echo "   download symbol: $download"
[[ $download == "http://127.0.0.1:$web_port/tidepool-download.html" ]] ||
  fail "the download symbol is not the simulator's download page"

# A phone binding with the symbol on screen and backing up (start_phone's arguments); while it
# runs, the page is watched for "备份完成", which shows for 3 s after the last file.
run_phone() {
  local name=$1 log=$2 seen=0 ended=0
  start_phone "$@"
  while :; do
    [[ $(text_of ImageShowFrame/curshowPhoneUI/statusText 2>/dev/null) == 备份完成 ]] && seen=1
    if ! kill -0 "$phone_pid" 2>/dev/null; then
      ((ended)) || ended=$SECONDS
      ((seen || SECONDS > ended + 4)) && break
    fi
    sleep 0.1
  done
  finish_phone "$log" || fail "$name did not back up its photos"
  ((seen)) || fail "$name backed up its photos, but the page never said 备份完成"
  echo "   the page said 备份完成"
}

# How many elements of a tree (standard input) with id $1, name and text matching the regular
# expressions $2 and $3, show on the page.
count_shown() {
  grep -oE "\"id\":\"$1\",\"name\":\"$2\",\"kind\":\"[a-z]*\",\"text\":\"$3\",\"rect\":\[[-0-9,]*\],\"abs\":\[[-0-9,]*\],\"hidden\":false,\"shown\":true" |
    wc -l
}

# Waits until the photo page shows phone $1 with $2 tiles in $3 day groups of equal counts.
wait_for_tiles() {
  local phone=$1 tiles=$2 days=$3 tree have=0 groups=0
  local file="D:\\\\\\\\Lumidock\\\\\\\\$phone\\\\\\\\[^\"]*"
  for ((i = 0; i < 300; i++)); do
    tree=$(port tree MainWnd)
    have=$(count_shown imageborder "$file" "" <<<"$tree")
    # A group the folder scan built reads "10 张", one the arrivals built "10张".
    groups=$(count_shown countText "" "$((tiles / days)) ?张" <<<"$tree")
    ((have == tiles && groups == days)) && return 0
    sleep 0.2
  done
  echo "$tree" >"$root/photo-page-tree.json"
  fail "the photo page shows $have tiles of $phone and $groups day groups of $((tiles / days)),"\
    "not $tiles in $days"
}

step "phone 1 on the local network: binds with the symbol on screen and backs up"
run_phone "Ostra 8 LAN" phone-lan "$bind_hex" --phone-id 880001
wait_for_tiles "Ostra 8 LAN" 30 3
echo "   the photo page shows its 30 photos in 3 day groups"
picture 05-photos-lan

step "photo page: 全部设备, 添加新设备: the QR page again"
port click MainWnd ImageShowFrame/exproseBtn || fail "cannot click 全部设备"
wait_shown ImageShowFrame/topPackupFrame/addnewDeviceBtn || fail "the phone strip did not open"
picture 06-phone-strip
port click MainWnd ImageShowFrame/topPackupFrame/addnewDeviceBtn || fail "cannot click 添加新设备"
wait_shown QRCodePage/qrCode_BindImg || fail "the QR page did not show again"
read_bind_symbol bind-qr-2
picture 07-qr-again

step "phone 2 through the server's relay: binds with the symbol on screen and backs up"
# A relayed phone frame must fit inside one server frame (64 KB with its header).
run_phone "Marlo S2 Relay" phone-relay "$bind_hex" --phone-id 880002 --port "$relay_port" \
  --chunk 32768
wait_for_tiles "Marlo S2 Relay" 30 3
echo "   the photo page shows its 30 photos in 3 day groups"
picture 08-photos-relay
relayed=$(grep -c '^relay-to-pc ' "$root/server-sim.log")
((relayed > 0)) || fail "phone 2's frames never went through the relay"
echo "   $relayed frames went through the server's relay"

if ((hold)); then
  step "holding $hold s (LUMIDOCK_DEMO_HOLD) before quitting"
  sleep "$hold"
fi

step "tray menu: 退出"
# The icon's right press as the tray would post it (1025 = the icon's message, 516 =
# WM_RBUTTONDOWN), then the menu's second item.
port post MainWnd 1025 0 516 || fail "cannot post to the main window"
for ((i = 0; i < 50; i++)); do
  port menu-click 2 2>/dev/null && break
  sleep 0.1
done
((i < 50)) || fail "the tray menu did not open"
for ((i = 0; i < 200; i++)); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$program_pid" 2>/dev/null && fail "Harborlight did not end within 20 s of 退出"
wait "$program_pid"
program_status=$?
((program_status == 0)) || fail "Harborlight ended with status $program_status"
echo "   Harborlight ended with status 0"

check_backup "Ostra 8 LAN" "Marlo S2 Relay"
echo "   pictures of each step in $artifacts"

ok=1
echo "DEMO OK: Harborlight on screen, 2 phones (LAN and relay) bound by its QR code backed up $count photos, every one checked"
