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
  exec "$cli" "$@"
fi
"$cli" check || true
exec "$cli" tree
