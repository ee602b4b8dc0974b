#!/usr/bin/env bash
# Installs what is missing, builds, and starts TarniBar.
#   ./scripts/run.sh             the application, on $DISPLAY; without a
#                                display on a private X server, with a
#                                screenshot of it, until Ctrl+C
#   ./scripts/run.sh COMMAND...  a tarnibar-cli command (--help lists them)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xsession.sh

./scripts/install-deps.sh
# Only the programs: a developer's tests in the same build folder stay as
# they were configured.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tarnibar tarnibar-cli tarnibar-screenshot TarniBarChromeHost

app=build/src/app/tarnibar
if [ $# -gt 0 ]; then
  # The application creates the data root at its first start; a command
  # before that creates it, private to the user as the application would.
  root=${TARNI_UITEST_ROOT:-${XDG_DATA_HOME:-$HOME/.local/share}/TarniBar}
  case "$1" in
    --help | --version) ;;
    *) [ -d "$root" ] || (umask 077 && mkdir -p "$root") ;;
  esac
  exec build/src/cli/tarnibar-cli "$@"
fi

if [ -n "${DISPLAY:-}" ]; then
  exec "$app"
fi

# No display: a private X server with a window manager, the application on
# it, and a picture of the screen once the sidebar is up.
pids=()
cleanup() {
  trap - INT TERM EXIT
  # The application first: it puts moved windows back before it exits.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}
trap cleanup INT TERM EXIT

# The server and the window manager in sessions of their own, so that Ctrl+C
# reaches the application first and they outlive it until it has quit.
start_x_session 1600x1000

"$app" &
pids+=($!)
app_pid=$!
if ! timeout 30 xdotool search --sync --classname tarnibar >/dev/null 2>&1; then
  echo "The application did not show a window." >&2
  exit 1
fi
sleep 1
shot=$(mktemp --tmpdir tarnibar-screen-XXXXXX.png)
build/src/app/tarnibar-screenshot "$shot"
echo "TarniBar runs on the private display $DISPLAY."
echo "Screenshot: $shot"
echo "Press Ctrl+C to stop."
wait "$app_pid"
