#!/usr/bin/env bash
# Runs a GoogleTest binary as N shards side by side and fails if any shard
# fails: scripts/shards.sh N BINARY [ARGS...]. Each shard's output is shown
# whole, one shard after the other, once all have finished.
set -uo pipefail
n="$1"; shift
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
pids=()
for ((i = 0; i < n; i++)); do
  GTEST_TOTAL_SHARDS="$n" GTEST_SHARD_INDEX="$i" "$@" > "$dir/$i.log" 2>&1 &
  pids+=("$!")
done
status=0
for ((i = 0; i < n; i++)); do
  wait "${pids[$i]}" || status=1
  echo "---- shard $((i + 1)) of $n ----"
  cat "$dir/$i.log"
done
exit "$status"
