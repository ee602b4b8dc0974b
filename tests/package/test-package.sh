#!/usr/bin/env bash
# Builds the .deb and the .tar.gz from a configured and built build directory,
# then treats them as a user would: lintian, dpkg -i, the installed programs,
# the application started in automation mode on a private X server, the
# native host the browsers' manifests name, the desktop and software-centre
# files, dpkg -r leaving nothing behind, and the tarball unpacked elsewhere.
#   tests/package/test-package.sh BUILD_DIR
# Installs into this machine: must run as root, on a machine where the
# package is not installed yet.
set -euo pipefail
export LC_ALL=C.UTF-8
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: test-package.sh BUILD_DIR}" && pwd)

fail() {
  echo "package test: FAILED: $*" >&2
  exit 1
}
step() { echo "==> package: $*"; }

[ "$(id -u)" -eq 0 ] || fail "must run as root: it installs the .deb with dpkg -i and removes it again"
package_status() { dpkg-query -W -f='${db:Status-Status}' tarnibar 2>/dev/null || true; }
case "$(package_status)" in
  "" | not-installed) ;;
  *) fail "the package tarnibar is already on this machine ($(package_status)); remove it first (dpkg -P tarnibar)" ;;
esac
for tool in cpack lintian dpkg-deb desktop-file-validate appstreamcli man python3 Xvfb openbox xdotool xprop dbus-daemon gdbus; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
work=$(mktemp -d --tmpdir tarnibar-package-XXXXXX)
pids=()
installed=0
cleanup() {
  local status=$?
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  if ((installed)); then
    dpkg -r tarnibar >/dev/null 2>&1 || echo "package test: could not remove tarnibar again" >&2
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT INT TERM

step "cpack"
(cd "$build" && cpack -B "$work/packages" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  fail "cpack"
}
deb=$(ls "$work"/packages/tarnibar_"$version"_*.deb)
tarball="$work/packages/tarnibar-$version-Linux.tar.gz"
[ -f "$tarball" ] || fail "no $tarball"

step "lintian $(basename "$deb")"
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"

# What the package must hold, and nothing else: the programs, the resources,
# the extension without its tests and Node files, the desktop files, and on
# the .deb its manifests and Debian documents.
expected_files() {
  local prefix=$1
  printf '%s\n' \
    "$prefix/bin/tarnibar" "$prefix/bin/tarnibar-cli" "$prefix/lib/tarnibar/TarniBarChromeHost" \
    "$prefix/share/applications/com.tarni.bar.desktop" \
    "$prefix/share/metainfo/com.tarni.bar.metainfo.xml" \
    "$prefix/share/icons/hicolor/scalable/apps/com.tarni.bar.svg" \
    "$prefix/share/man/man1/tarnibar.1.gz" "$prefix/share/man/man1/tarnibar-cli.1.gz" \
    "$prefix/share/tarnibar/UpdateConfiguration.json"
  (cd "$source_dir/resources" && find . -type f | sed "s|^\.|$prefix/share/tarnibar|")
  (cd "$build/extension/chromium" && find . -type f | sed "s|^\.|$prefix/share/tarnibar/ChromeExtension|")
  (cd "$build/extension/firefox" && find . -type f | sed "s|^\.|$prefix/share/tarnibar/FirefoxExtension|")
  for form in legacy modules; do
    printf '%s\n' "$prefix/share/tarnibar/gnome-shell-extension/$form/metadata.json" \
      "$prefix/share/tarnibar/gnome-shell-extension/$form/extension.js"
  done
}
{
  expected_files /usr
  printf '%s\n' /usr/share/tarnibar/NativeMessagingHosts/com.tarni.bar.chrome.json \
    /etc/opt/chrome/native-messaging-hosts/com.tarni.bar.chrome.json \
    /etc/chromium/native-messaging-hosts/com.tarni.bar.chrome.json \
    /etc/opt/edge/native-messaging-hosts/com.tarni.bar.chrome.json \
    /etc/brave/native-messaging-hosts/com.tarni.bar.chrome.json \
    /etc/opt/vivaldi/native-messaging-hosts/com.tarni.bar.chrome.json \
    /usr/lib/mozilla/native-messaging-hosts/com.tarni.bar.chrome.json \
    /usr/lib/librewolf/native-messaging-hosts/com.tarni.bar.chrome.json \
    /usr/share/doc/tarnibar/copyright /usr/share/doc/tarnibar/changelog.gz \
    /usr/share/dbus-1/services/com.tarni.bar.service \
    /usr/share/lintian/overrides/tarnibar \
    /usr/share/gnome-shell/extensions/window-placement@tarnibar.tarni.com/metadata.json \
    /usr/share/gnome-shell/extensions/window-placement@tarnibar.tarni.com/extension.js
} | sort >"$work/expected-deb"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort >"$work/actual-deb"
diff -u "$work/expected-deb" "$work/actual-deb" || fail "the .deb holds other files than the install layout"

step "dpkg -i"
system_files() { { find /usr /etc /opt -xdev 2>/dev/null || true; } | sort; }
system_files >"$work/before"
installed=1
dpkg -i "$deb" || fail "dpkg -i"
dpkg -L tarnibar | sort >"$work/listed"

step "installed programs"
[ "$(/usr/bin/tarnibar --version)" = "tarnibar $version" ] || fail "tarnibar --version: $(/usr/bin/tarnibar --version)"
/usr/bin/tarnibar-cli --help >"$work/cli-help" || fail "tarnibar-cli --help exits with $?"
grep -q '^usage: tarnibar-cli' "$work/cli-help" || fail "tarnibar-cli --help prints no usage"

step "desktop entry, metainfo, manual pages"
desktop=/usr/share/applications/com.tarni.bar.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
appstreamcli validate --no-net /usr/share/metainfo/com.tarni.bar.metainfo.xml ||
  fail "appstreamcli validate com.tarni.bar.metainfo.xml"
for page in tarnibar tarnibar-cli; do
  warnings=$(MANWIDTH=80 man --warnings -l "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man page $page: $warnings"
done

# The browsers' manifests: all name the installed host, executable, and
# admit exactly the extension we ship (its Chromium id follows from its key;
# Firefox's is the one the code names).
step "native messaging manifests and host"
host=$(python3 - "$source_dir/extension/ChromeExtension/manifest.json" \
  "$source_dir/src/core/chrome/ChromeExtensionIdentity.h" <<'EOF'
import base64, hashlib, json, re, sys
key = json.load(open(sys.argv[1]))["key"]
digest = hashlib.sha256(base64.b64decode(key)).hexdigest()[:32]
extension = "".join(chr(ord("a") + int(c, 16)) for c in digest)
firefox = re.search(r'kFirefoxExtensionID = "([^"]+)"', open(sys.argv[2]).read()).group(1)
paths = set()
for folder in ("/etc/opt/chrome", "/etc/chromium", "/etc/opt/edge", "/etc/brave", "/etc/opt/vivaldi",
               "/usr/lib/mozilla", "/usr/lib/librewolf"):
    manifest = folder + "/native-messaging-hosts/com.tarni.bar.chrome.json"
    m = json.load(open(manifest))
    assert m["name"] == "com.tarni.bar.chrome" and m["type"] == "stdio", manifest
    if folder.startswith("/usr/lib/"):
        assert m["allowed_extensions"] == [firefox] and "allowed_origins" not in m, (manifest, m)
    else:
        assert m["allowed_origins"] == ["chrome-extension://%s/" % extension], (manifest, m["allowed_origins"])
    paths.add(m["path"])
assert len(paths) == 1, paths
print(paths.pop())
EOF
) || fail "the manifests do not name one host for our extension"
if [ "$host" != /usr/lib/tarnibar/TarniBarChromeHost ] || [ ! -x "$host" ]; then
  fail "the manifests name $host, which is not the installed host"
fi

# Started as the browser starts it (the origin as argument, in its own
# folder): a request the application queued comes out as a frame, and the
# browser's reply to it lands where the application looks for it.
chrome_id=$(sed -n 's/.*kChromeExtensionID = "\([a-p]*\)".*/\1/p' "$source_dir/src/core/chrome/ChromeExtensionIdentity.h")
(cd "$(dirname "$host")" && python3 - "$host" "$work/host-data" "chrome-extension://$chrome_id/" <<'EOF'
import json, os, struct, subprocess, sys, time
host, data, origin = sys.argv[1], sys.argv[2], sys.argv[3]
root = os.path.join(data, "TarniBar")
env = {"PATH": "/usr/bin:/bin", "HOME": data, "XDG_DATA_HOME": data}
os.makedirs(data)
proc = subprocess.Popen([host, origin], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, env=env)
ident = "5E1F8C3A-2B4D-4C6E-8F10-123456789ABC"
request = json.dumps({"id": ident, "message": {"type": "ping"}}).encode()
requests = os.path.join(root, "NativeHostRequests")
deadline = time.time() + 10
while not os.path.isdir(requests):
    assert time.time() < deadline, "the host made no queue folders"
    time.sleep(0.05)
with open(os.path.join(requests, ".incoming"), "wb") as f:
    f.write(request)
os.rename(os.path.join(requests, ".incoming"), os.path.join(requests, ident + ".json"))
header = proc.stdout.read(4)
assert len(header) == 4, "no frame from the host"
body = proc.stdout.read(struct.unpack("<I", header)[0])
assert body == request, body
reply = json.dumps({"id": ident.lower(), "message": {"ok": True}}).encode()
proc.stdin.write(struct.pack("<I", len(reply)) + reply)
proc.stdin.flush()
response = os.path.join(root, "NativeHostResponses", ident + ".json")
while not os.path.exists(response):
    assert time.time() < deadline, "the reply was not filed"
    time.sleep(0.05)
assert open(response, "rb").read() == reply
proc.stdin.close()
assert proc.wait(timeout=5) == 0, proc.stderr.read()
EOF
) || fail "the installed host did not relay a frame"

# The application in automation mode, in Japanese: its state dump shows the
# seeded tree and texts from the installed string tables.
start_app() {
  local program=$1 name=$2 root="$work/$2-root" config="$work/$2-config"
  mkdir -p "$config/TarniBar"
  printf '[General]\nappLanguage=japanese\n' >"$config/TarniBar/TarniBarUITests.$name-root.ini"
  TARNI_UITEST_MODE=1 TARNI_UITEST_ROOT="$root" TARNI_UITEST_SEED=sample XDG_CONFIG_HOME="$config" \
    "$program" >"$work/$name.log" 2>&1 &
  app_pid=$!
  pids+=("$app_pid")
  # The first dump may come before the launch has loaded the tree.
  for _ in $(seq 300); do
    python3 - "$root/state.json" 2>"$work/$name.state" <<'EOF' && return 0
import json, re, sys
state = json.load(open(sys.argv[1]))
assert state["nodes"], "no nodes"
assert state["appLanguage"] == "japanese", state["appLanguage"]
texts = " ".join(v for v in state.values() if isinstance(v, str))
assert re.search("[\u3040-\u30ff\u4e00-\u9fff]", texts), "no Japanese text: " + texts
EOF
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/$name.log" >&2; fail "$program exited at start"; }
    sleep 0.1
  done
  cat "$work/$name.log" "$work/$name.state" >&2
  fail "$program: unexpected state"
}
stop_app() {
  kill -TERM "$app_pid"
  wait "$app_pid" || fail "the application did not quit cleanly on SIGTERM"
  unset 'pids[-1]'
}

step "the installed application on a private X server"
. "$source_dir/scripts/lib/xsession.sh"
start_x_session 1600x1000
# A session bus of our own with the standard configuration, its environment
# ours plus the NAME=value arguments; its address in bus_address.
start_session_bus() {
  local file="$work/bus-address-${#pids[@]}"
  env "$@" dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$file" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$file" ] && break
    sleep 0.05
  done
  [ -s "$file" ] || fail "dbus-daemon did not start"
  bus_address=$(head -n 1 "$file")
}
# Without one the application would have D-Bus start a bus that outlives the test.
start_session_bus
export DBUS_SESSION_BUS_ADDRESS=$bus_address
start_app /usr/bin/tarnibar installed
# The desktop entry must name the sidebar's window class, so that a dock
# matches the window to the entry.
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
window=$(timeout 20 xdotool search --sync --onlyvisible --pid "$app_pid" | awk 'NR == 1') || fail "no window of the application"
xprop -id "$window" WM_CLASS | grep -q "\"$wm_class\"\$" ||
  fail "StartupWMClass=$wm_class does not match the window: $(xprop -id "$window" WM_CLASS)"
stop_app

# A bus with the standard session configuration finds the package's service
# file; the application it starts keeps to the test's folders, and writes no
# copy of the file for the user beside the package's.
step "the session bus starts the installed application"
start_session_bus HOME="$work/bus-home" XDG_DATA_HOME="$work/bus-data" XDG_CONFIG_HOME="$work/bus-config"
activation_bus=$bus_address
tb_call() {
  DBUS_SESSION_BUS_ADDRESS=$activation_bus timeout 60 gdbus call --session --dest "$1" --object-path "$2" --method "$3" "${@:4}"
}
answer=$(tb_call com.tarni.bar /com/tarni/bar com.tarni.bar.Application.DataRoot) ||
  fail "a call did not start the application"
[ "$answer" = "('$work/bus-data/TarniBar',)" ] || fail "the started application answered $answer"
tb_call com.tarni.bar /com/tarni/bar com.tarni.bar.Application.Quit >/dev/null || fail "the started application did not quit"
for _ in $(seq 100); do
  tb_call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner com.tarni.bar | grep -q false && break
  sleep 0.1
done
[ ! -e "$work/bus-data/dbus-1/services/com.tarni.bar.service" ] ||
  fail "the application wrote a service file of its own beside the package's"

step "dpkg -r"
dpkg -r tarnibar || fail "dpkg -r"
installed=0
case "$(package_status)" in
  "" | not-installed) ;;
  *) fail "after dpkg -r the package is $(package_status): files of it are left behind" ;;
esac
system_files >"$work/after"
# Whatever the package brought must be gone again (other programs may change
# the rest of the system meanwhile, so only the package's paths count).
comm -13 "$work/before" "$work/listed" >"$work/brought"
left=$(comm -12 "$work/brought" "$work/after"; comm -13 "$work/before" "$work/after" | grep -i tarni || true)
[ -z "$left" ] || fail "dpkg -r left behind: $left"
[ -d "$work/installed-root" ] || fail "the user's data went with the package"

step "the tarball, unpacked anywhere"
unpacked="$work/a folder with spaces"
mkdir -p "$unpacked"
tar -xzf "$tarball" -C "$unpacked"
top="$unpacked/tarnibar-$version-Linux"
[ -d "$top" ] || fail "the tarball has no top folder tarnibar-$version-Linux"
expected_files "$top" | sort >"$work/expected-tgz"
find "$unpacked" -type f | sort >"$work/actual-tgz"
diff -u "$work/expected-tgz" "$work/actual-tgz" || fail "the tarball holds other files than the install layout"
[ "$("$top/bin/tarnibar" --version)" = "tarnibar $version" ] || fail "tarnibar --version from the tarball"
start_app "$top/bin/tarnibar" unpacked
stop_app
step "passed"
