#!/usr/bin/env bash
# Measures the start of tarnibar to the first paint of the filled outline and
# its resident memory then, on a generated workspace, on a private X server
# with openbox.
# Usage: scripts/measure-startup.sh [BUILD_DIR] [NODES] [RUNS]
#   (defaults: build, 100000, 5). NODES is rounded to groups of 40 (a group
#   and 39 web links).
# Environment: STARTUP_DATA=DIR keeps the generated data root in DIR and
#   reuses it (1,000,000 nodes take minutes to import); STARTUP_OTHER=BINARY
#   runs another tarnibar after each run of this build, for comparing builds
#   on a busy machine. Each line ends with the load average and the CPU time.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xsession.sh
build=${1:-build}
nodes=${2:-100000}
runs=${3:-5}
cmake --build "$build" --target tarnibar tarnibar-cli -j 2 >/dev/null
work=$(mktemp -d --tmpdir tarnibar-startup-XXXXXX)
data=${STARTUP_DATA:-$work}
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$data/root/workspace.sqlite" ] || [ "$(cat "$data/nodes" 2>/dev/null)" != "$nodes" ]; then
  # An export document: groups of 39 web links under one top-level group.
  awk -v groups=$((nodes / 40)) 'function id(n) { return sprintf("00000000-0000-4000-8000-%012d", n) }
  function node(n, kind, title, sort, payload, subtitle) {
    return sprintf("{\"id\":\"%s\",\"originalNodeID\":\"%s\",\"title\":\"%s\",\"node\":{\"id\":\"%s\",\"workspaceID\":\"%s\",\"kind\":\"%s\",\"title\":\"%s\",%s\"sortOrder\":%d.0,\"isCollapsed\":false,\"createdAt\":\"2026-01-01T00:00:00Z\",\"updatedAt\":\"2026-01-01T00:00:00Z\",\"payload\":%s},\"children\":[",
                   id(n + 500000000), id(n), title, id(n), id(0), kind, title, subtitle, sort, payload)
  }
  BEGIN {
    printf "{\"app\":\"TarniBar\",\"schemaVersion\":1,\"exportedAt\":\"2026-01-01T00:00:00Z\",\"rootNode\":"
    printf "%s", node(1, "group", "Generated", 0, "{\"type\":\"group\",\"group\":{}}", "")
    n = 2
    for (g = 0; g < groups; g++) {
      if (g) printf ","
      printf "%s", node(n++, "group", "Project " g, g, "{\"type\":\"group\",\"group\":{}}", "")
      for (l = 0; l < 39; l++) {
        url = sprintf("https://example.com/project/%d/page/%d?ref=tarnibar-measurement", g, l)
        if (l) printf ","
        printf "%s]}", node(n++, "webLink", "Reference page " l " of project " g, l,
                           "{\"type\":\"webLink\",\"webLink\":{\"url\":\"" url "\"}}", "\"subtitle\":\"" url "\",")
      }
      printf "]}"
    }
    printf "]}}\n"
  }' >"$work/workspace.json"
  mkdir -p "$data" && rm -rf "$data/root" && mkdir -m 700 "$data/root"
  "$build/src/cli/tarnibar-cli" --root "$data/root" import "$work/workspace.json" >/dev/null
  echo "$nodes" >"$data/nodes"
fi
# The onboarding would take the outline's place.
mkdir -p "$work/config/TarniBar"
printf '[General]\nTarniBar.OnboardingCompleted=true\n' >"$work/config/TarniBar/TarniBar.ini"

start_x_session 1920x1080

# GNU time, when there, reports the CPU time of each run.
timed=()
[ -x /usr/bin/time ] && timed=(/usr/bin/time -f "cpu-s=%U+%S" -o "$work/cpu")
binaries=("$build/src/app/tarnibar")
[ -n "${STARTUP_OTHER:-}" ] && binaries+=("$STARTUP_OTHER")
for _ in $(seq "$runs"); do
  for binary in "${binaries[@]}"; do
    start=$(date +%s%N)
    line=$(TARNI_UITEST_ROOT="$data/root" XDG_CONFIG_HOME="$work/config" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
      timeout 300 "${timed[@]}" "$binary" --exit-after-first-paint 2>/dev/null) || true
    echo "$binary: $line wall-ms=$((($(date +%s%N) - start) / 1000000)) load=$(cut -d' ' -f1 /proc/loadavg)" \
      "$(tail -n 1 "$work/cpu" 2>/dev/null)"
  done
done
