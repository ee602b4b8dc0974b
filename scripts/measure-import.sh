#!/usr/bin/env bash
# Times the imports docs/performance.md reports under "Importing our own
# export at a million nodes", each once into a fresh data root, with
# /usr/bin/time: a generated export document, the workspace's own export of
# it (pretty-printed and --compact) and a bookmark file of as many links.
# Usage: scripts/measure-import.sh [BUILD_DIR] [NODES]
#   (defaults: build, 100000). NODES is rounded to groups of 40 (a group and
#   39 web links) and to folders of 50 links. Needs about 1.2 KB of disk per
#   node for each file kept at once.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
nodes=${2:-100000}
cli="$build/src/cli/tarnibar-cli"
cmake --build "$build" --target tarnibar-cli -j 2 >/dev/null
work=$(mktemp -d --tmpdir tarnibar-import-XXXXXX)
trap 'rm -rf "$work"' EXIT

timed() {
  local label=$1
  shift
  /usr/bin/time -f "$label: %e s wall, %U s user, %S s system, %M KB" "$@" >/dev/null
}
fresh() {
  rm -rf "$work/root"
  mkdir -m 700 "$work/root"
}

# The export document of scripts/measure-startup.sh.
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
}' >"$work/generated.json"

fresh
timed "import of the generated document" "$cli" --root "$work/root" import "$work/generated.json"
rm "$work/generated.json"
timed "export -o (pretty)" "$cli" --root "$work/root" export -o "$work/pretty.json"
timed "export --compact -o" "$cli" --root "$work/root" export --compact -o "$work/compact.json"
ls -l "$work/pretty.json" "$work/compact.json"
for layout in pretty compact; do
  fresh
  timed "import of the $layout export" "$cli" --root "$work/root" import "$work/$layout.json"
  rm "$work/$layout.json"
done

# The bookmark file of bench_Interop: links in folders of 50.
awk -v links="$nodes" 'BEGIN {
  printf "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DL><p>\r\n"
  for (i = 0; i < links; i++) {
    if (i % 50 == 0)
      printf "%s    <DT><H3 ADD_DATE=\"1600000000\">Folder %d</H3>\r\n    <DL><p>\r\n", (i ? "    </DL><p>\r\n" : ""), i / 50
    printf "        <DT><A HREF=\"https://docs.example.org/projects/%d/overview?tab=notes&amp;x=1\" ADD_DATE=\"1600000000\" ICON=\"data:image/png;base64,iVBORw0KGgo=\">Quarterly planning review – résumé 日本語 #%d &amp; more</A>\r\n", i, i
  }
  printf "    </DL><p>\r\n</DL><p>\r\n"
}' >"$work/bookmarks.html"
fresh
timed "import of the bookmark file" "$cli" --root "$work/root" import "$work/bookmarks.html"
