#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) of a TARNI_FUZZ=ON build on a
# copy of its seed corpus for SECONDS each, FUZZ_JOBS (default 1) at a time.
# Fails when any target finds a crash, leak, timeout or over-large allocation;
# the input that did it is kept and its path printed.
#   tests/fuzz/run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]
# FUZZ_RUNS=N runs each target for N executions instead of a time limit
# (SECONDS is then an upper bound on the time; 0 means none).
# FUZZ_MAX_LEN=N lowers every target's input size limit to N bytes where it
# is larger: long runs trade input size for executions with it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]}" && pwd)"
seconds="${2:?usage: run-fuzzers.sh BUILD_DIR SECONDS [TARGET...]}"
shift 2
jobs="${FUZZ_JOBS:-1}"

# target  max_len  malloc limit (MB)  dictionary
# Inputs stay far below the product's own caps (4 MiB feeds and tables,
# 1 MiB desktop entries, 64 MiB messages, 1 GiB imports): the readers do
# not change with size past a few pages, and small inputs keep runs fast.
# Any single allocation beyond the limit counts as a failure: none of these
# readers needs more than a small multiple of its input.
table="
node              65536  64  json.dict
workspace         65536  64  json.dict
snapshot          65536  64  json.dict
export            65536  64  json.dict
snapshot_content  65536  64  json.dict
change_file       65536  64  json.dict
chrome_message    65536  64  json.dict
frame_reader     262144  16  -
queue_identifier   4096  16  json.dict
slack_url          4096  16  url.dict
string_table      65536  64  json.dict
appcast           65536  64  xml.dict
syncthing_config  65536  64  xml.dict
desktop_entry     16384  16  keyfile.dict
mimeapps          16384  16  keyfile.dict
import_bookmarks  65536  64  html.dict
import_onetab     65536  64  url.dict
import_sessions   65536  64  json.dict
import_markdown   65536  64  url.dict
import_text       65536  64  url.dict
"
names=("$@")
if ((${#names[@]} == 0)); then
  while read -r name _; do [ -n "$name" ] && names+=("$name"); done <<<"$table"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tarni-fuzz-run.XXXXXX")"
failed="$work/failed"
: >"$failed"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}:suppressions=$here/ubsan.supp"
export QT_QPA_PLATFORM=offscreen

run_one() {
  local name=$1 maxlen malloc dict
  read -r _ maxlen malloc dict < <(grep -E "^$name " <<<"$table") || { echo "unknown target $name" >&2; echo "$name" >>"$failed"; return; }
  if [ -n "${FUZZ_MAX_LEN:-}" ] && ((FUZZ_MAX_LEN < maxlen)); then maxlen=$FUZZ_MAX_LEN; fi
  local bin="$build/tests/fuzz/fuzz_$name" dir="$work/$name"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -r "$here/corpus/$name/." "$dir/corpus/"
  local args=(-max_len="$maxlen" -malloc_limit_mb="$malloc" -rss_limit_mb=1024 -timeout=10
              -print_final_stats=1 -artifact_prefix="$dir/artifacts/")
  [ "$dict" != - ] && args+=(-dict="$here/$dict")
  if [ -n "${FUZZ_RUNS:-}" ]; then
    args+=(-runs="$FUZZ_RUNS")
    [ "$seconds" != 0 ] && args+=(-max_total_time="$seconds")
  else
    args+=(-max_total_time="$seconds")
  fi
  local start=$SECONDS
  if "$bin" "${args[@]}" "$dir/corpus" >"$dir/log" 2>&1; then
    local runs rate
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$dir/log" | grep -oE '[0-9]+$' || echo '?')
    rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$dir/log" | grep -oE '[0-9]+$' || echo '?')
    printf '%-18s ok   %10s runs %7s exec/s %5ds  corpus %4d files  max_len %d\n' "$name" "$runs" "$rate" \
      $((SECONDS - start)) "$(ls "$dir/corpus" | wc -l)" "$maxlen"
  else
    echo "$name" >>"$failed"
    printf '%-18s FAILED, input kept in %s\n' "$name" "$dir/artifacts"
    tail -n 40 "$dir/log"
  fi
}

active=0
for name in "${names[@]}"; do
  run_one "$name" &
  active=$((active + 1))
  if ((active >= jobs)); then
    wait -n || true
    active=$((active - 1))
  fi
done
wait

if [ -s "$failed" ]; then
  echo "fuzzing failed: $(tr '\n' ' ' <"$failed")(logs and inputs in $work)" >&2
  exit 1
fi
rm -rf "$work"
