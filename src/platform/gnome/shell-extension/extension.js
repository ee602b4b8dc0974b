// Places windows for Tarni Bar: the compositor alone may move another
// application's window on GNOME, so the application asks this extension over
// the session bus. Written for GNOME Shell 45 and later; the build rewrites
// the marked import and class lines for 43 and 44.

// GNOME-45 imports begin
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Meta from 'gi://Meta';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
// GNOME-45 imports end

const BUS_NAME = 'com.tarni.bar.WindowPlacement';
const OBJECT_PATH = '/com/tarni/bar/WindowPlacement';
const INTERFACE_XML = `
<node>
  <interface name="com.tarni.bar.WindowPlacement">
    <method name="ListWindows">
      <arg type="s" direction="out" name="windows"/>
    </method>
    <method name="PlaceWindow">
      <arg type="t" direction="in" name="id"/>
      <arg type="i" direction="in" name="x"/>
      <arg type="i" direction="in" name="y"/>
      <arg type="i" direction="in" name="width"/>
      <arg type="i" direction="in" name="height"/>
      <arg type="b" direction="out" name="accepted"/>
    </method>
    <method name="RestoreWindow">
      <arg type="t" direction="in" name="id"/>
      <arg type="i" direction="in" name="x"/>
      <arg type="i" direction="in" name="y"/>
      <arg type="i" direction="in" name="width"/>
      <arg type="i" direction="in" name="height"/>
      <arg type="a{sv}" direction="in" name="state"/>
      <arg type="b" direction="out" name="accepted"/>
    </method>
  </interface>
</node>`;

// Larger frames than any screen set-up has are refused rather than clamped:
// they only come from a confused caller.
const COORDINATE_LIMIT = 100000;
const SIZE_LIMIT = 32767;
// How long a restore waits for the client to take its frame before the
// window is maximised again, which must remember that frame as its own.
const SETTLE_TIMEOUT_MS = 2000;
const SETTLE_STEP_MS = 50;

function validFrame(x, y, width, height) {
    const coordinate = v => Number.isInteger(v) && Math.abs(v) <= COORDINATE_LIMIT;
    const size = v => Number.isInteger(v) && v >= 1 && v <= SIZE_LIMIT;
    return coordinate(x) && coordinate(y) && size(width) && size(height);
}

// Windows created but not yet shown: the shell has not placed them, and the
// frame they report (the screen's corner) is not where they will open.
const unshownWindows = new Set();

function normalWindows() {
    return global.get_window_actors()
        .map(actor => actor.get_meta_window())
        .filter(window => window && window.get_window_type() === Meta.WindowType.NORMAL &&
                          !window.is_override_redirect() && !unshownWindows.has(window));
}

function findWindow(id) {
    return normalWindows().find(window => window.get_id() === id) ?? null;
}

function followNewWindow(window) {
    unshownWindows.add(window);
    const forget = () => {
        unshownWindows.delete(window);
        window.disconnect(shownId);
        window.disconnect(unmanagedId);
    };
    const shownId = window.connect('shown', forget);
    const unmanagedId = window.connect('unmanaged', forget);
}

function describe(window) {
    const frame = window.get_frame_rect();
    return {
        id: window.get_id(),
        pid: window.get_pid(),
        appId: window.get_wm_class() ?? '',
        title: window.get_title() ?? '',
        x: frame.x,
        y: frame.y,
        width: frame.width,
        height: frame.height,
        focused: window.has_focus(),
        maximizedHorizontally: window.maximized_horizontally,
        maximizedVertically: window.maximized_vertically,
        minimized: window.minimized,
        fullscreen: window.is_fullscreen(),
    };
}

function toNormalState(window) {
    if (window.is_fullscreen())
        window.unmake_fullscreen();
    if (window.get_maximized())
        window.unmaximize(Meta.MaximizeFlags.BOTH);
    if (window.minimized)
        window.unminimize();
}

function frameIs(window, x, y, width, height) {
    const frame = window.get_frame_rect();
    return frame.x === x && frame.y === y && frame.width === width && frame.height === height;
}

function stateFlag(state, key) {
    const value = state[key];
    if (typeof value === 'boolean')
        return value;
    return value instanceof GLib.Variant && value.get_type_string() === 'b' && value.get_boolean();
}

class WindowPlacementService {
    constructor() {
        this._settleSources = new Set();
    }

    ListWindows() {
        return JSON.stringify(normalWindows().sort((a, b) => a.get_stable_sequence() - b.get_stable_sequence())
            .map(describe));
    }

    PlaceWindow(id, x, y, width, height) {
        const window = findWindow(id);
        if (!window || !validFrame(x, y, width, height))
            return false;
        toNormalState(window);
        window.move_resize_frame(true, x, y, width, height);
        return true;
    }

    RestoreWindow(id, x, y, width, height, state) {
        const window = findWindow(id);
        if (!window || !validFrame(x, y, width, height) || state === null || typeof state !== 'object')
            return false;
        toNormalState(window);
        window.move_resize_frame(true, x, y, width, height);
        const maximizeFlags = (stateFlag(state, 'maximizedHorizontally') ? Meta.MaximizeFlags.HORIZONTAL : 0) |
                              (stateFlag(state, 'maximizedVertically') ? Meta.MaximizeFlags.VERTICAL : 0);
        const fullscreen = stateFlag(state, 'fullscreen');
        const minimized = stateFlag(state, 'minimized');
        if (!maximizeFlags && !fullscreen && !minimized)
            return true;
        // A Wayland client takes its new frame a moment later; the state goes
        // on top of that frame, so unmaximising later gives it back.
        let waited = 0;
        const source = GLib.timeout_add(GLib.PRIORITY_DEFAULT, SETTLE_STEP_MS, () => {
            waited += SETTLE_STEP_MS;
            if (!findWindow(id))
                return this._settled(source);
            if (!frameIs(window, x, y, width, height) && waited < SETTLE_TIMEOUT_MS)
                return GLib.SOURCE_CONTINUE;
            if (maximizeFlags)
                window.maximize(maximizeFlags);
            if (fullscreen)
                window.make_fullscreen();
            if (minimized)
                window.minimize();
            return this._settled(source);
        });
        this._settleSources.add(source);
        return true;
    }

    _settled(source) {
        this._settleSources.delete(source);
        return GLib.SOURCE_REMOVE;
    }

    destroy() {
        for (const source of this._settleSources)
            GLib.source_remove(source);
        this._settleSources.clear();
    }
}

// GNOME-45 class begins
export default class WindowPlacementExtension extends Extension {
// GNOME-45 class ends
    enable() {
        this._windowCreatedId = global.display.connect('window-created',
            (display, window) => followNewWindow(window));
        this._service = new WindowPlacementService();
        this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this._service);
        this._exported.export(Gio.DBus.session, OBJECT_PATH);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        if (this._windowCreatedId) {
            global.display.disconnect(this._windowCreatedId);
            this._windowCreatedId = 0;
        }
        unshownWindows.clear();
        if (this._nameId) {
            Gio.bus_unown_name(this._nameId);
            this._nameId = 0;
        }
        this._exported?.unexport();
        this._exported = null;
        this._service?.destroy();
        this._service = null;
    }
}
