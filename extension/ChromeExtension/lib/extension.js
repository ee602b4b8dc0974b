// The extension's logic, independent of the global API object so that tests
// can hand in a fake one: Chromium's `chrome` or Firefox's `browser`, both
// used only through their promise-returning calls.
import { browserScaleFactor, toBrowserBounds } from './display.js';
import { browserTarget, newEnvelopeId, slackTarget, tabState, windowState } from './messages.js';

export const HOST_NAME = 'com.tarni.bar.chrome';
export const SLACK_MENU_ID = 'tarni-save-slack-thread';
export const SLACK_PAGES = ['https://*.slack.com/*'];

// The address as Chrome should get it, or null: only web pages open. Other
// schemes reach local files, the browser's own pages or script, and a single
// javascript: entry makes Chrome refuse a whole new window.
function webAddress(text) {
  if (typeof text !== 'string') return null;
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  if ((url.protocol !== 'http:' && url.protocol !== 'https:') || url.hostname === '') return null;
  return url.href;
}

function skippedNote(skipped) {
  return skipped > 0 ? `; skipped ${skipped} non-web address(es)` : '';
}

function nothingToOpen(skipped) {
  return { ok: false, summary: `No web addresses were given${skippedNote(skipped)}`, skipped };
}

// The live tab as the application binds a node to it.
function bindingOf(tab) {
  return { windowID: tab.windowId, tabID: tab.id };
}

// A reply's `opened` entries: `tabs` were opened, in order, for the
// addresses at `positions` of the command's list.
function openedEntries(tabs, positions) {
  return tabs.slice(0, positions.length).map((tab, i) => ({ index: positions[i], ...bindingOf(tab) }));
}

function byIndex(tabs) {
  return [...(tabs ?? [])].sort((a, b) => a.index - b.index);
}

export function createExtension(chrome, options = {}) {
  const {
    setTimer = (fn, ms) => setTimeout(fn, ms),
    clearTimer = (handle) => clearTimeout(handle),
    randomUUID = () => crypto.randomUUID(),
    reconnectDelayMs = 1000,
    windowsStateDelayMs = 250,
    scaleFactor = browserScaleFactor(chrome),
  } = options;

  let port = null;
  let windowsStateTimer = null;

  function post(message, id = newEnvelopeId(randomUUID)) {
    if (!port) return false;
    try {
      port.postMessage({ id, message });
      return true;
    } catch {
      return false;
    }
  }

  function connect() {
    const current = chrome.runtime.connectNative(HOST_NAME);
    port = current;
    current.onMessage.addListener((envelope) => {
      onHostMessage(envelope);
    });
    current.onDisconnect.addListener(() => {
      // Reading lastError keeps the browser from reporting it as unchecked.
      void chrome.runtime.lastError;
      if (port === current) port = null;
      setTimer(connect, reconnectDelayMs);
    });
    post({ type: 'connected' });
    scheduleWindowsState();
  }

  async function onHostMessage(envelope) {
    // Without an identifier there is nobody to answer.
    if (!envelope || typeof envelope !== 'object' || typeof envelope.id !== 'string') return;
    const response = await handleCommand(envelope.message);
    post(response, envelope.id);
  }

  async function lastFocusedWindow() {
    return chrome.windows.getLastFocused({ populate: true, windowTypes: ['normal'] });
  }

  // The command's bounds in the browser's units, or {} when it has none.
  async function boundsOf(command) {
    const b = command.bounds;
    if (!b || typeof b !== 'object') return {};
    const { left, top, width, height } = b;
    if (![left, top, width, height].every(Number.isInteger) || width <= 0 || height <= 0) {
      throw new Error('Invalid window bounds');
    }
    return toBrowserBounds({ left, top, width, height }, await scaleFactor());
  }

  async function windowStates(wins) {
    const scale = await scaleFactor();
    return wins.map((win) => windowState(win, scale));
  }

  const handlers = {
    async ping() {
      return { ok: true, summary: 'Chrome bridge reachable' };
    },

    async focusTab(command) {
      const tab = await chrome.tabs.get(command.tabID);
      // The tab may have moved to another window since the application saw it.
      await chrome.tabs.update(tab.id, { active: true });
      await chrome.windows.update(tab.windowId, { focused: true });
      return { ok: true, summary: 'Focused Chrome tab' };
    },

    async openURLsInNewWindow(command) {
      const given = Array.isArray(command.urls) ? command.urls : [];
      const urls = given.map(webAddress).filter((url) => url !== null);
      const positions = given.flatMap((text, index) => (webAddress(text) === null ? [] : [index]));
      const skipped = given.length - urls.length;
      if (urls.length === 0) return nothingToOpen(skipped);
      const frame = await boundsOf(command);
      let win = await chrome.windows.create({ url: urls, focused: true, ...frame });
      if (!win) throw new Error('Chrome opened no window');
      if (frame.left !== undefined) {
        // Window managers may place a new window their own way; insist once.
        win = await chrome.windows.update(win.id, frame);
      }
      win = await chrome.windows.get(win.id, { populate: true });
      return {
        ok: true,
        summary: `Opened ${urls.length} URL(s) in a new Chrome window${skippedNote(skipped)}`,
        windows: await windowStates([win]),
        opened: openedEntries(byIndex(win.tabs), positions),
        skipped,
      };
    },

    async openURLsInWindow(command) {
      if (!Number.isInteger(command.windowID)) return { ok: false, summary: 'Invalid window' };
      const given = Array.isArray(command.urls) ? command.urls : [];
      const opened = [];
      let skipped = 0;
      for (const [index, text] of given.entries()) {
        const url = webAddress(text);
        if (url === null) {
          skipped++;
          continue;
        }
        try {
          // One at a time, so that the tabs keep the order of the list.
          const tab = await chrome.tabs.create({ windowId: command.windowID, url, active: false });
          opened.push({ index, ...bindingOf(tab) });
        } catch (error) {
          // What did open is reported all the same, for the application to bind.
          return { ok: false, summary: error?.message ? String(error.message) : 'Chrome refused the command', opened, skipped };
        }
      }
      if (opened.length === 0) return nothingToOpen(skipped);
      return { ok: true, summary: `Opened ${opened.length} URL(s)${skippedNote(skipped)}`, opened, skipped };
    },

    async openURLInWindow(command) {
      const url = webAddress(command.url);
      if (url === null) return nothingToOpen(command.url == null ? 0 : 1);
      let tab;
      if (Number.isInteger(command.windowID)) {
        tab = await chrome.tabs.create({ windowId: command.windowID, url, active: true });
        await chrome.windows.update(command.windowID, { focused: true });
      } else {
        try {
          tab = await chrome.tabs.create({ url, active: true });
        } catch (error) {
          // Only the lack of a window is ours to mend; any other refusal stands.
          const open = await chrome.windows.getAll({ windowTypes: ['normal'] });
          if (open.length > 0) throw error;
          const win = await chrome.windows.create({ url, focused: true });
          if (!win) throw new Error('Chrome opened no window');
          [tab] = byIndex((await chrome.windows.get(win.id, { populate: true })).tabs);
        }
      }
      return { ok: true, summary: `Opened ${url}`, opened: tab ? openedEntries([tab], [0]) : [], skipped: 0 };
    },

    async setWindowBounds(command) {
      const frame = await boundsOf(command);
      if (frame.left === undefined) return { ok: false, summary: 'Invalid window bounds' };
      await chrome.windows.update(command.windowID, { state: 'normal' });
      await chrome.windows.update(command.windowID, frame);
      const win = await chrome.windows.get(command.windowID, { populate: true });
      return {
        ok: true,
        summary: `Moved Chrome window to ${command.bounds.width}x${command.bounds.height}`,
        windows: await windowStates([win]),
      };
    },

    async getCurrentWindowState() {
      const win = await lastFocusedWindow();
      return { ok: true, summary: 'Current window state', windows: await windowStates([win]) };
    },

    async getAllWindowsState() {
      const windows = await chrome.windows.getAll({ populate: true, windowTypes: ['normal'] });
      return { ok: true, summary: 'All windows state', windows: await windowStates(windows) };
    },

    async captureCurrentTab() {
      const [tab] = await chrome.tabs.query({ active: true, lastFocusedWindow: true });
      if (!tab) return { ok: false, summary: 'No active tab to capture' };
      return {
        ok: true,
        summary: 'Captured current tab',
        capture: { type: 'tab', tab: browserTarget(tab), binding: bindingOf(tab) },
      };
    },

    async captureCurrentWindow() {
      const win = await lastFocusedWindow();
      const tabs = byIndex(win.tabs);
      return {
        ok: true,
        summary: 'Captured current window',
        capture: { type: 'window', window: tabs.map(browserTarget), bindings: tabs.map(bindingOf) },
      };
    },
  };

  async function handleCommand(message) {
    const type = message && typeof message === 'object' ? message.type : undefined;
    const handler = typeof type === 'string' && Object.hasOwn(handlers, type) ? handlers[type] : undefined;
    if (!handler) return { ok: false, summary: `Unsupported command: ${String(type)}` };
    try {
      return await handler(message);
    } catch (error) {
      return { ok: false, summary: error?.message ? String(error.message) : 'Chrome refused the command' };
    }
  }

  function scheduleWindowsState() {
    if (windowsStateTimer !== null) clearTimer(windowsStateTimer);
    windowsStateTimer = setTimer(async () => {
      windowsStateTimer = null;
      try {
        const windows = await chrome.windows.getAll({ populate: true, windowTypes: ['normal'] });
        post({ type: 'windowsState', windows: await windowStates(windows) });
      } catch {
        // The next change sends the state again.
      }
    }, windowsStateDelayMs);
  }

  async function announceActiveTab(tabId) {
    try {
      const tab = await chrome.tabs.get(tabId);
      post({ type: 'activeTabChanged', tab: tabState(tab) });
    } catch {
      // The tab closed meanwhile; tabClosed says so.
    }
  }

  function saveSlackThread(address) {
    if (typeof address !== 'string' || address === '') return false;
    return post({ type: 'saveSlackThread', slackThread: slackTarget(address) });
  }

  function listen() {
    chrome.tabs.onActivated.addListener(({ tabId }) => {
      announceActiveTab(tabId);
    });
    chrome.tabs.onUpdated.addListener((tabId, change, tab) => {
      if (tab?.active && (change.title !== undefined || change.url !== undefined || change.status === 'complete')) {
        post({ type: 'activeTabChanged', tab: tabState(tab) });
      }
      if (change.title !== undefined || change.url !== undefined) scheduleWindowsState();
    });
    chrome.tabs.onRemoved.addListener((tabId) => {
      post({ type: 'tabClosed', tabID: tabId });
      scheduleWindowsState();
    });
    for (const event of ['onCreated', 'onMoved', 'onAttached', 'onDetached']) {
      chrome.tabs[event]?.addListener(() => scheduleWindowsState());
    }
    for (const event of ['onCreated', 'onRemoved', 'onBoundsChanged']) {
      chrome.windows[event]?.addListener(() => scheduleWindowsState());
    }

    // Promises, not callbacks: Firefox's menus API takes no callback here.
    Promise.resolve(chrome.contextMenus.removeAll())
      .catch(() => {})
      .then(() => {
        chrome.contextMenus.create(
          {
            id: SLACK_MENU_ID,
            title: 'Save Slack Thread to TarniBar',
            contexts: ['page', 'link'],
            documentUrlPatterns: SLACK_PAGES,
          },
          () => void chrome.runtime.lastError,
        );
      });
    chrome.contextMenus.onClicked.addListener((info, tab) => {
      if (info.menuItemId !== SLACK_MENU_ID) return;
      saveSlackThread(info.linkUrl || info.pageUrl || tab?.url);
    });
  }

  return {
    start() {
      listen();
      connect();
    },
    handleCommand,
    saveSlackThread,
    get connected() {
      return port !== null;
    },
  };
}
