#!/usr/bin/env bash
# Installs every Debian package that building, running and testing TarniBar needs.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  # libraries
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qcoro-qt6-dev
  libsqlite3-dev sqlite3 libsimdjson-dev rapidjson-dev libsodium-dev zlib1g-dev
  libxcb1-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-res0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # the fuzz targets (tests/fuzz): clang and its libFuzzer runtime
  clang-14 libclang-rt-14-dev
  # run time and test time
  xdg-utils shared-mime-info desktop-file-utils dbus dbus-x11
  xvfb xauth openbox xterm xdotool x11-utils
  chromium chromium-driver nodejs
  # the Firefox end-to-end test's browser (about 80 MB to download)
  firefox-esr
  fonts-dejavu-core fonts-noto-cjk
  # Qt's own texts (file dialogs, standard buttons) in Japanese and Chinese
  qt6-translations-l10n
  # the sidebar's action icons when no desktop names an icon theme
  adwaita-icon-theme
  # the update tests check signatures against an independent signer
  openssl
  # xdg-open without a desktop environment asks file(1) for a file's type
  file
  # the packages and their checks: the X11 platform plugin the .deb depends
  # on, dpkg-shlibdeps, lintian, the desktop-entry, metainfo and manual page
  # validators, and the script that talks to the installed native host
  qt6-qpa-plugins dpkg-dev lintian appstream man-db python3
  # gdbus, which tests use to edit through the bus as a script would
  libglib2.0-bin
  # the folder-sync engine the sync tests run two instances of
  syncthing
  # a headless Wayland desktop with XWayland and Qt's Wayland platform, for
  # the docking test on Wayland (about 47 MB to download)
  mutter xwayland qt6-wayland
  # GNOME Shell headless, for the window placement test through our shell
  # extension (about 164 MB installed on top of the above)
  gnome-shell
  # sway, run headless by the placement test as an unprivileged user; xhost
  # lets the test's root processes onto its XWayland display
  sway x11-xserver-utils
  # a headless KDE Plasma compositor, for window placement through KWin
  # scripts (about 39 MB to download on top of the above)
  kwin-wayland
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# npm installs puppeteer-core below. Debian ships it apart from nodejs; a
# Node.js from elsewhere brings its own.
if ! command -v npm >/dev/null; then
  missing+=(npm)
fi

if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Node.js may come from elsewhere on a developer machine; the extension's tests need any node >= 18.
command -v node >/dev/null || { echo "install-deps: node not found" >&2; exit 1; }

# puppeteer-core, which drives Firefox ESR in the Firefox end-to-end test
# (tests/e2e/firefox-driver.mjs), pinned, in a folder of its own (CMake's
# TARNI_PUPPETEER_DIR). Version 24 needs Node.js 18 or newer (run here on 20); 25 needs 22.
puppeteer_dir=/opt/tarnibar-test/puppeteer
puppeteer_version=24.43.1
installed_puppeteer=$(node -p "require('$puppeteer_dir/node_modules/puppeteer-core/package.json').version" 2>/dev/null || true)
if [ "$installed_puppeteer" != "$puppeteer_version" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: puppeteer-core $puppeteer_version missing in $puppeteer_dir (run as root to install it)" >&2
    exit 1
  fi
  echo "install-deps: installing puppeteer-core $puppeteer_version into $puppeteer_dir"
  npm install --prefix "$puppeteer_dir" --no-audit --no-fund --omit=dev --ignore-scripts --loglevel=error \
    "puppeteer-core@$puppeteer_version"
fi
