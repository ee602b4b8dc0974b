// A small stand-in for the parts of the `chrome` API the extension uses.
import { SCALE_QUERY } from '../lib/display.js';

export class FakeEvent {
  constructor() {
    this.listeners = [];
  }
  addListener(fn) {
    this.listeners.push(fn);
  }
  fire(...args) {
    for (const fn of this.listeners) fn(...args);
  }
}

export class FakePort {
  constructor(name) {
    this.name = name;
    this.sent = [];
    this.onMessage = new FakeEvent();
    this.onDisconnect = new FakeEvent();
  }
  postMessage(message) {
    // Like the browser: the message must survive JSON.
    this.sent.push(JSON.parse(JSON.stringify(message)));
  }
}

export function createFakeChrome() {
  const windows = new Map();
  const tabs = new Map();
  let nextId = 100;
  let lastFocusedWindowId = null;
  const calls = [];

  function addWindow(props = {}, urls = []) {
    const win = { id: nextId++, left: 0, top: 0, width: 800, height: 600, focused: false, ...props };
    windows.set(win.id, win);
    urls.forEach((url, index) => addTab({ windowId: win.id, url, title: `Title ${url}`, index, active: index === 0 }));
    lastFocusedWindowId = win.id;
    return win;
  }
  function addTab(props) {
    const tab = { id: nextId++, index: 0, active: false, title: '', url: '', ...props };
    tabs.set(tab.id, tab);
    return tab;
  }
  function populated(win) {
    return { ...win, tabs: [...tabs.values()].filter((t) => t.windowId === win.id).map((t) => ({ ...t })) };
  }
  function need(map, id, what) {
    if (!map.has(id)) throw new Error(`No ${what} with id: ${id}.`);
    return map.get(id);
  }

  const ports = [];
  // The hidden document that reports the scale factor; `scale` is what its
  // devicePixelRatio would be (undefined: it never answers).
  const display = { open: false, scale: 1 };
  const chrome = {
    runtime: {
      lastError: undefined,
      connectNative(name) {
        const port = new FakePort(name);
        ports.push(port);
        return port;
      },
      async sendMessage(message) {
        if (!display.open) throw new Error('Could not establish connection. Receiving end does not exist.');
        return message?.type === SCALE_QUERY ? display.scale : undefined;
      },
    },
    offscreen: {
      async createDocument(parameters) {
        calls.push(['offscreen.createDocument', parameters.url]);
        if (display.open) throw new Error('Only a single offscreen document may be created.');
        display.open = true;
      },
    },
    tabs: {
      onActivated: new FakeEvent(),
      onUpdated: new FakeEvent(),
      onRemoved: new FakeEvent(),
      onCreated: new FakeEvent(),
      onMoved: new FakeEvent(),
      async get(id) {
        return { ...need(tabs, id, 'tab') };
      },
      async update(id, props) {
        calls.push(['tabs.update', id, props]);
        const tab = need(tabs, id, 'tab');
        if (props.active) {
          for (const other of tabs.values()) if (other.windowId === tab.windowId) other.active = false;
          tab.active = true;
        }
        return { ...tab };
      },
      async create(props) {
        calls.push(['tabs.create', props]);
        const windowId = props.windowId ?? lastFocusedWindowId;
        if (windowId === null) throw new Error('No current window');
        need(windows, windowId, 'window');
        const index = [...tabs.values()].filter((t) => t.windowId === windowId).length;
        return addTab({ windowId, url: props.url, index, active: Boolean(props.active) });
      },
      async query(query) {
        calls.push(['tabs.query', query]);
        return [...tabs.values()].filter((t) => t.active && t.windowId === lastFocusedWindowId).map((t) => ({ ...t }));
      },
    },
    windows: {
      onCreated: new FakeEvent(),
      onRemoved: new FakeEvent(),
      async get(id, options) {
        const win = need(windows, id, 'window');
        return options?.populate ? populated(win) : { ...win };
      },
      async getAll(options) {
        calls.push(['windows.getAll', options]);
        return [...windows.values()].map(populated);
      },
      async getLastFocused(options) {
        if (lastFocusedWindowId === null) throw new Error('No last-focused window');
        return options?.populate ? populated(windows.get(lastFocusedWindowId)) : { ...windows.get(lastFocusedWindowId) };
      },
      async create(props) {
        calls.push(['windows.create', props]);
        const { url, focused, ...frame } = props;
        const urls = Array.isArray(url) ? url : url ? [url] : [];
        return { ...addWindow(frame, urls) };
      },
      async update(id, props) {
        calls.push(['windows.update', id, props]);
        const win = need(windows, id, 'window');
        const { focused, state, ...frame } = props;
        Object.assign(win, frame);
        if (focused) lastFocusedWindowId = id;
        return { ...win };
      },
    },
    contextMenus: {
      items: [],
      onClicked: new FakeEvent(),
      // Both browsers answer with a promise.
      async removeAll() {
        this.items = [];
      },
      create(item, callback) {
        this.items.push(item);
        callback?.();
      },
    },
  };
  return { chrome, ports, calls, addWindow, addTab, windows, tabs, display };
}

// Timers under the test's control.
export function manualTimers() {
  const pending = new Map();
  let next = 1;
  return {
    setTimer(fn, ms) {
      const handle = next++;
      pending.set(handle, { fn, ms });
      return handle;
    },
    clearTimer(handle) {
      pending.delete(handle);
    },
    async runAll() {
      const due = [...pending.values()];
      pending.clear();
      for (const { fn } of due) await fn();
    },
    get count() {
      return pending.size;
    },
  };
}

export const flush = () => new Promise((resolve) => setImmediate(resolve));
