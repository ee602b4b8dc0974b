#!/usr/bin/env bash
# The scale series of docs/performance.md: the same benchmarks and commands at
# each size given, one after another (never two at once), each step headed by
# the load average. Prints everything; nothing is summed up here.
# Usage: scripts/measure-scale.sh [BUILD_DIR] SIZE...
#   e.g. scripts/measure-scale.sh build 10000 100000 1000000
# Below 1,000,000 nodes the benchmarks run three times (their medians are the
# figures) and each command three times; at 1,000,000 once.
# Environment: SCALE_DATA=DIR holds the data roots while they are used
#   (default: a temporary directory; about 2 GB at 1,000,000 nodes), each
#   removed after its step. SKIP_SCRIPTS=1 leaves out measure-startup.sh and
#   measure-import.sh.
set -uo pipefail
cd "$(dirname "$0")/.."
B=${1:-build}
shift
[ $# -gt 0 ] || set -- 10000 100000 1000000
cmake --build "$B" -j 2 --target tarnibar tarnibar-cli bench_SnapshotReads bench_Snapshots bench_CliEdits \
  bench_AppModel bench_Outline >/dev/null
own=""
if [ -z "${SCALE_DATA:-}" ]; then
  own=$(mktemp -d --tmpdir tarnibar-scale-XXXXXX)
  trap 'rm -rf "$own"' EXIT
fi
D=${SCALE_DATA:-$own}
CLI=$B/src/cli/tarnibar-cli
# No application to hand the edits to: the commands write the file themselves.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$D/no-bus
mkdir -p "$D"
load() { echo "## load $(cat /proc/loadavg) at $(date +%T) -- $*"; }
t() {
  local label=$1
  shift
  /usr/bin/time -f "$label: %e s %M KB (%U+%S cpu)" -o "$D/time" "$@" >/dev/null || echo "$label FAILED"
  cat "$D/time"
}
for N in "$@"; do
  if [ "$N" -ge 1000000 ]; then R=1 RUNS=1; else R=3 RUNS=3; fi
  echo "################ $N nodes"

  load "bench_SnapshotReads $N"
  mkdir -p "$D/snap-$N"
  BENCH_SNAPSHOTS_DIR=$D/snap-$N "$B/bench/storage/bench_SnapshotReads" --benchmark_filter="/$N/" --benchmark_repetitions=$R
  load "snapshot list, show, nodes --json $N"
  for _ in 1 2 3; do t "snapshot list" "$CLI" --root "$D/snap-$N" snapshot list; done
  for _ in 1 2 3; do t "snapshot list --json" "$CLI" --root "$D/snap-$N" snapshot list --json; done
  oldest=$("$CLI" --root "$D/snap-$N" snapshot list | grep -F 'Snapshot 0 (' | cut -d' ' -f1)
  for _ in $(seq $RUNS); do t "snapshot show" "$CLI" --root "$D/snap-$N" snapshot show "$oldest"; done
  for _ in 1 2 3; do t "nodes --json (snapshot database)" "$CLI" --root "$D/snap-$N" nodes --json; done
  load "snapshot restore $N"
  t "snapshot restore" "$CLI" --root "$D/snap-$N" snapshot restore "$oldest"
  rm -rf "$D/snap-$N"

  load "bench_Snapshots $N"
  "$B/bench/storage/bench_Snapshots" --benchmark_filter="BM_(AutomaticSnapshot|TenSnapshotsOneEditApart)/$N/"

  load "bench_CliEdits $N"
  mkdir -p "$D/cli-$N"
  BENCH_CLI_DIR=$D/cli-$N "$B/bench/cli/bench_CliEdits" --benchmark_filter="BM_Cli(Rename|Undo)/$N/" \
    --benchmark_repetitions=$R
  load "tarnibar-cli rename and undo $N"
  # The first tab of the first group.
  tab=$("$CLI" --root "$D/cli-$N" nodes --json | python3 -c '
import json, sys
print(next(n["id"] for n in json.load(sys.stdin) if n.get("kind") != "group"))')
  for i in 1 2 3; do
    t "rename" "$CLI" --root "$D/cli-$N" rename "$tab" "Timed $i"
    t "undo" "$CLI" --root "$D/cli-$N" undo
  done
  rm -rf "$D/cli-$N"

  load "bench_AppModel BM_OneEdit $N"
  QT_QPA_PLATFORM=offscreen "$B/bench/app/bench_AppModel" --benchmark_filter="BM_OneEdit/$N/" --benchmark_repetitions=$R
  load "bench_Outline BM_SearchKeystroke $N"
  QT_QPA_PLATFORM=offscreen "$B/bench/gui/bench_Outline" --benchmark_filter="BM_SearchKeystroke/$N/0/" \
    --benchmark_repetitions=$R

  [ -n "${SKIP_SCRIPTS:-}" ] && continue
  load "measure-startup $N"
  STARTUP_DATA=$D/start-$N scripts/measure-startup.sh "$B" "$N" 3
  load "nodes --json (startup data root) $N"
  for _ in 1 2 3; do t "nodes --json (startup data root)" "$CLI" --root "$D/start-$N/root" nodes --json; done
  rm -rf "$D/start-$N"
  load "measure-import $N"
  scripts/measure-import.sh "$B" "$N"
  load "done $N"
done
