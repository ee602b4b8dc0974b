#!/usr/bin/env bash
# Writes the documentation's screenshots from the real application, each on a
# private X server with openbox, in automation mode on the sample workspace:
#   docs/screenshots/sidebar-en.png, sidebar-ja.png, sidebar-zh.png,
#   onboarding.png, settings.png, and the same sidebar on a small screen
#   (1280x720), at scale 2 (on 2560x1600) and on a large screen (3840x2160),
#   and the import file chooser in Japanese (import-ja.png)
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xsession.sh
build=${1:-build}
cmake --build "$build" --target tarnibar tarnibar-screenshot -j 2 >/dev/null
app=$build/src/app/tarnibar
shooter=$build/src/app/tarnibar-screenshot
out=docs/screenshots
mkdir -p "$out"
work=$(mktemp -d --tmpdir tarnibar-screenshots-XXXXXX)

pids=()
stop_all() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

# shot NAME LANGUAGE KEYS [VAR=VALUE...]: starts the application in LANGUAGE
# (english, japanese, simplifiedChinese), presses KEYS (or "-") in the
# focused sidebar, and writes docs/screenshots/NAME.png. The screen is
# $SCREEN (default 1440x900).
shot() {
  local name=$1 language=$2 keys=$3
  shift 3
  local root=$work/$name
  mkdir -p "$work/config-$name/TarniBar"
  printf '[General]\nappLanguage=%s\n' "$language" >"$work/config-$name/TarniBar/TarniBarUITests.$name.ini"

  start_x_session "${SCREEN:-1440x900}"

  env TARNI_UITEST_MODE=1 TARNI_UITEST_ROOT="$root" TARNI_UITEST_SEED=sample \
    XDG_CONFIG_HOME="$work/config-$name" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" "$@" \
    "$app" >"$work/$name.log" 2>&1 &
  pids+=($!)
  timeout 30 xdotool search --sync --classname tarnibar >/dev/null
  sleep 1.5
  # The sidebar starts with the keyboard focus.
  if [ "$keys" != - ]; then
    xdotool key --clearmodifiers "$keys"
    sleep 1.5
  fi
  "$shooter" "$out/$name.png"
  echo "$out/$name.png"
  stop_all
}

shot sidebar-en english -
shot sidebar-ja japanese -
shot sidebar-zh simplifiedChinese -
shot onboarding english - TARNI_UITEST_SHOW_ONBOARDING=1
shot settings english ctrl+comma
SCREEN=1280x720 shot small-ja japanese -
SCREEN=1280x720 shot settings-small english ctrl+comma
SCREEN=2560x1600 shot scale2-en english - QT_SCALE_FACTOR=2
SCREEN=2560x1600 shot settings-scale2 english ctrl+comma QT_SCALE_FACTOR=2
SCREEN=3840x2160 shot large-zh simplifiedChinese -
SCREEN=1280x720 shot import-ja japanese ctrl+i
