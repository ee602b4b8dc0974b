#!/usr/bin/env bash
# Measures the start of tarnibar to the first paint of the filled outline and
# its resident memory then, on a generated workspace, on a private X server
# with openbox.
# Usage: scripts/measure-startup.sh [BUILD_DIR] [NODES] [RUNS]
#   (defaults: build, 100000, 5). NODES is rounded to groups of 40 (a group
#   and 39 web links).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xsession.sh
build=${1:-build}
nodes=${2:-100000}
runs=${3:-5}
cmake --build "$build" --target tarnibar tarnibar-cli -j 2 >/dev/null
work=$(mktemp -d --tmpdir tarnibar-startup-XXXXXX)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

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
mkdir -m 700 "$work/root"
# The onboarding would take the outline's place.
mkdir -p "$work/config/TarniBar"
printf '[General]\nTarniBar.OnboardingCompleted=true\n' >"$work/config/TarniBar/TarniBar.ini"
"$build/src/cli/tarnibar-cli" --root "$work/root" import "$work/workspace.json"

start_x_session 1920x1080

for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  line=$(TARNI_UITEST_ROOT="$work/root" XDG_CONFIG_HOME="$work/config" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
    timeout 120 "$build/src/app/tarnibar" --exit-after-first-paint 2>/dev/null) || true
  echo "$line wall-ms=$((($(date +%s%N) - start) / 1000000))"
done
