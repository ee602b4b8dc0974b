#!/usr/bin/env bash
# Installs what is missing, builds, and runs TarniBar on the default data root.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNI_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"

# Until the desktop application exists, show the workspace with the
# command-line tool.
cli=build/src/cli/tarnibar-cli
if [ $# -gt 0 ]; then
  # The application creates the data root at its first start; until it
  # exists, this does, private to the user as the application would.
  root=${TARNI_UITEST_ROOT:-${XDG_DATA_HOME:-$HOME/.local/share}/TarniBar}
  case "$1" in
    --help | --version) ;;
    *) [ -d "$root" ] || (umask 077 && mkdir -p "$root") ;;
  esac
  exec "$cli" "$@"
fi
code=0
"$cli" check || code=$?
if [ "$code" -eq 3 ] || [ "$code" -eq 4 ]; then
  echo "There is no workspace yet. Add something to start one, for example:"
  echo "  ./scripts/run.sh add group \"My first group\""
  echo "  ./scripts/run.sh add link https://example.com"
  echo "(./scripts/run.sh --help lists every command.)"
  exit 0
fi
exec "$cli" tree
