#!/usr/bin/env bash
# Writes the documentation's screenshots from the real application, each on a
# private X server with openbox, in automation mode on the sample workspace:
#   docs/screenshots/sidebar-en.png, sidebar-ja.png, sidebar-zh.png,
#   onboarding.png, settings.png, and the same sidebar on a small screen
#   (1280x720), at scale 2 (on 2560x1600) and on a large screen (3840x2160),
#   the import file chooser in Japanese (import-ja.png), and the Sync section
#   of the settings off (sync-off-en.png) and on (sync-on-ja.png, at scale 2)
#   and the sync conflicts window (sync-conflicts-zh.png, on 1280x720)
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build)
#        scripts/screenshots.sh BUILD_DIR sync DIR: only the sync shots, each
#        in English, Japanese and Chinese, on 1280x720 and at scale 2, in DIR
#        scripts/screenshots.sh BUILD_DIR search DIR: the same for a search
#        with more matches than the outline shows
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/xsession.sh
build=${1:-build}
cmake --build "$build" --target tarnibar tarnibar-cli tarnibar-screenshot -j 2 >/dev/null
app=$build/src/app/tarnibar
cli=$build/src/cli/tarnibar-cli
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
# focused sidebar, and writes $out/NAME.png (docs/screenshots). KEYS may be several
# steps separated by " / ", each pressed once the last has taken effect.
# The screen is $SCREEN (default 1440x900); $PREPARE, when set, is called
# with the data root before the application starts.
shot() {
  local name=$1 language=$2 keys=$3
  shift 3
  local root=$work/$name
  mkdir -p "$work/config-$name/TarniBar"
  printf '[General]\nappLanguage=%s\n' "$language" >"$work/config-$name/TarniBar/TarniBarUITests.$name.ini"
  if [ -n "${PREPARE:-}" ]; then
    "$PREPARE" "$root"
  fi

  start_x_session "${SCREEN:-1440x900}"

  env TARNI_UITEST_MODE=1 TARNI_UITEST_ROOT="$root" TARNI_UITEST_SEED=sample \
    XDG_CONFIG_HOME="$work/config-$name" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" "$@" \
    "$app" >"$work/$name.log" 2>&1 &
  pids+=($!)
  timeout 30 xdotool search --sync --classname tarnibar >/dev/null
  sleep 1.5
  # The sidebar starts with the keyboard focus.
  if [ "$keys" != - ]; then
    local step
    local -a steps
    IFS='/' read -ra steps <<<"$keys"
    for step in "${steps[@]}"; do
      # shellcheck disable=SC2086 # a step is several keys
      xdotool key --clearmodifiers --delay 60 $step
      sleep 1.5
    done
  fi
  "$shooter" "$out/$name.png"
  echo "$out/$name.png"
  stop_all
}

# The command line, on a data root of its own, never the running application.
tcli() {
  env XDG_CONFIG_HOME="$work/config-cli" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" "$cli" "$@"
}

# A data root with sync on, another machine seen, and a conflict waiting:
# both machines renamed one group before seeing the other's change. The
# shared folder is copied between them as a folder-sync program would.
prepare_sync_on() {
  local root=$1 other=$1-desktop here=$1-share there=$1-share-desktop group
  mkdir -p "$root" "$other"
  group=$(tcli --root "$root" add group "Research")
  tcli --root "$root" add link https://example.org/paper --title "Paper draft" --under "$group" >/dev/null
  tcli --root "$root" add group "Travel" >/dev/null
  tcli --root "$root" sync enable "$here" --device "Laptop" >/dev/null
  mkdir -p "$there"
  cp -r "$here/." "$there/"
  tcli --root "$other" sync enable "$there" --device "Desktop" >/dev/null
  tcli --root "$other" rename "$group" "Research (desktop)" >/dev/null
  tcli --root "$other" add group "Recipes" >/dev/null
  tcli --root "$other" sync now >/dev/null
  tcli --root "$root" rename "$group" "Research notes" >/dev/null
  tcli --root "$root" sync now >/dev/null
  cp -r "$there/." "$here/"
  tcli --root "$root" sync now >/dev/null
}

# The settings, scrolled by Tab to the field after the Sync section (off:
# eleven stops, on: ten), or to its Show Conflicts button (eight).
tabs() { printf 'Tab %.0s' $(seq "$1"); }
to_sync_off="ctrl+comma / $(tabs 11)"
to_sync_on="ctrl+comma / $(tabs 10)"
to_conflicts="ctrl+comma / $(tabs 8) / space"
# matrix DIR SHOTS: calls SHOTS LANGUAGE CODE SIZE SCALE for English,
# Japanese and Chinese, each on 1280x720 and at scale 2, writing into DIR.
matrix() {
  local lang code size scale
  out=$1
  mkdir -p "$out"
  for lang in english:en japanese:ja simplifiedChinese:zh; do
    code=${lang#*:}
    lang=${lang%:*}
    for size in 1280x720:1 2560x1600:2; do
      scale=${size#*:}
      size=${size%:*}
      "$2" "$lang" "$code" "$size" "$scale"
    done
  done
}
sync_shots() {
  local lang=$1 code=$2 size=$3 scale=$4
  SCREEN=$size shot "sync-off-$code-$size" "$lang" "$to_sync_off" QT_SCALE_FACTOR="$scale"
  SCREEN=$size PREPARE=prepare_sync_on shot "sync-on-$code-$size" "$lang" "$to_sync_on" \
    QT_SCALE_FACTOR="$scale" TARNI_UITEST_SEED=
  SCREEN=$size PREPARE=prepare_sync_on shot "sync-conflicts-$code-$size" "$lang" "$to_conflicts" \
    QT_SCALE_FACTOR="$scale" TARNI_UITEST_SEED=
}
# A data root whose tree holds 6,000 links that all match "report".
prepare_many() {
  local root=$1 i
  mkdir -p "$root"
  for ((i = 0; i < 6000; i++)); do
    printf -- '- [Quarterly report %d](https://example.org/reports/%d)\n' "$i" "$i"
  done >"$root.md"
  tcli --root "$root" import --format markdown "$root.md" >/dev/null
}
search_shots() {
  local lang=$1 code=$2 size=$3 scale=$4
  SCREEN=$size PREPARE=prepare_many shot "search-more-$code-$size" "$lang" "ctrl+f / r e p o r t" \
    QT_SCALE_FACTOR="$scale" TARNI_UITEST_SEED=
}
case "${2:-}" in
  sync | search)
    matrix "${3:?the folder for the shots}" "$2_shots"
    exit 0
    ;;
esac

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
SCREEN=1280x720 shot sync-off-en english "$to_sync_off"
SCREEN=2560x1600 PREPARE=prepare_sync_on shot sync-on-ja japanese "$to_sync_on" QT_SCALE_FACTOR=2 TARNI_UITEST_SEED=
SCREEN=1280x720 PREPARE=prepare_sync_on shot sync-conflicts-zh simplifiedChinese "$to_conflicts" \
  TARNI_UITEST_SEED=
