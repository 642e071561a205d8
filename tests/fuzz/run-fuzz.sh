#!/bin/bash
# Builds the phone frame fuzz target with clang++ straight from the sources it needs (the frame
# code and its cipher, the engine's command and operation pool, the platform layer) and runs it
# for a while. The main build uses g++, which has no libFuzzer.
#   run-fuzz.sh <source root> <work folder> [seconds]
set -euo pipefail

src=${1:?source root}
work=${2:?work folder}
seconds=${3:-30}

if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: fuzz_frame_parser skipped"
  exit 0
fi

mkdir -p "$work/obj" "$work/corpus"
common=(-std=c++20 -g -O1 -fno-omit-frame-pointer -I"$src" -I"$src/Orbalyn"
        -I"$src/platform/include" -I"$src/platform/src")
sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=all)

# The platform layer: sanitised but not instrumented for coverage.
layer=("$src"/platform/src/*.cpp)
# The fuzzed unit.
unit=("$src/tests/fuzz/FuzzPhoneFrame.cpp" "$src/Orbalyn/Logic/ClientCommand.cpp"
      "$src/Orbalyn/Logic/CommandKey.cpp" "$src/Orbalyn/NetEngine/Command.cpp"
      "$src/Orbalyn/NetEngine/IOOperation.cpp" "$src/Orbalyn/NetEngine/IOThread.cpp"
      "$src/Orbalyn/NetEngine/IOTimerTable.cpp" "$src/Orbalyn/NetEngine/IOHandler.cpp"
      "$src/Orbalyn/NetEngine/ABThread.cpp" "$src/Orbalyn/NetEngine/NetHelpers.cpp"
      "$src/Common/Lock.cpp" "$src/Common/LogHook.cpp" "$src/Common/ObjectLifecycleMgr.cpp")

compile() {  # <source> <flags...>
  local source=$1
  shift
  local object="$work/obj/$(echo "$source" | sed 's|/|_|g').o"
  if [[ ! -e "$object" || "$source" -nt "$object" ]]; then
    clang++ "${common[@]}" "$@" -c "$source" -o "$object"
  fi
  echo "$object"
}
declare -a objects
pids=()
for source in "${layer[@]}"; do
  compile "$source" "${sanitize[@]}" >"$work/obj/$(basename "$source").list" &
  pids+=($!)
done
for source in "${unit[@]}"; do
  compile "$source" "${sanitize[@]}" -fsanitize=fuzzer-no-link >"$work/obj/$(basename "$source").list" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
mapfile -t objects < <(cat "$work"/obj/*.list)
clang++ "${sanitize[@]}" -fsanitize=fuzzer "${objects[@]}" -lcrypto -lpthread -ldl \
  -o "$work/fuzz_phone_frame"

# Seeds: one frame under each encode type the PC deciphers (header only; the fuzzer finds the
# bodies), split in 64-byte pieces.
seed() {  # <name> <encode type byte>
  printf '\x40\x77\xde\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\x17\x7b\x00\x00\x00\x01\x00\x00\x00\x48\x00\x00\x00\x01\x00\x00\x00'"$2"'\x00\x00\x00\x00' \
    >"$work/corpus/$1"
  head -c 32 /dev/zero >>"$work/corpus/$1"
}
seed xor '\x01'
seed aes '\x02'
seed bind '\x03'

export LUMIDOCK_ROOT="$work/root"
mkdir -p "$LUMIDOCK_ROOT"
exec "$work/fuzz_phone_frame" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  "$work/corpus"
