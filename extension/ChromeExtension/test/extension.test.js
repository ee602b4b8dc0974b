import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { browserScaleFactor } from '../lib/display.js';
import { createExtension, SLACK_MENU_ID } from '../lib/extension.js';
import { createFakeChrome, flush, manualTimers } from './fakeChrome.js';

const UUID = /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/;

function started(fake = createFakeChrome(), options = {}) {
  const timers = manualTimers();
  const extension = createExtension(fake.chrome, { setTimer: timers.setTimer, clearTimer: timers.clearTimer, ...options });
  extension.start();
  const port = () => fake.ports.at(-1);
  return { fake, timers, extension, port };
}

// Sends a command as the host would and returns the extension's reply.
async function ask(port, message, id = 'c0ffee00-0000-4000-8000-000000000001') {
  const before = port.sent.length;
  port.onMessage.fire({ id, message });
  for (let i = 0; i < 20 && port.sent.length === before; i++) await flush();
  assert.equal(port.sent.length, before + 1, `no reply to ${JSON.stringify(message)}`);
  const reply = port.sent.at(-1);
  assert.equal(reply.id, id, 'the reply carries the command id unchanged');
  return reply.message;
}

describe('connection', () => {
  it('reconnects when the port drops and announces itself again', async () => {
    const { fake, timers, port } = started();
    const old = port();
    old.onDisconnect.fire();
    await timers.runAll();
    assert.equal(fake.ports.length, 2);
    assert.notEqual(port(), old);
    assert.deepEqual(port().sent[0].message, { type: 'connected' });
  });

  it('ignores messages without an id, answers unknown commands with a reason', async () => {
    const { port } = started();
    const before = port().sent.length;
    port().onMessage.fire({ message: { type: 'ping' } });
    port().onMessage.fire('text');
    await flush();
    assert.equal(port().sent.length, before);
    assert.deepEqual(await ask(port(), { type: 'launchRockets' }), {
      ok: false,
      summary: 'Unsupported command: launchRockets',
    });
    assert.equal((await ask(port(), { type: 'toString' })).ok, false, 'no inherited names as commands');
    assert.equal((await ask(port(), null)).ok, false);
  });
});

describe('commands', () => {
  it('captureCurrentTab returns the active tab of the last focused window as a BrowserTarget', async () => {
    const { fake, port } = started();
    fake.addWindow({}, ['https://a.example/']);
    const win = fake.addWindow({}, ['https://b.example/', 'https://c.example/']);
    const second = [...fake.tabs.values()].find((t) => t.url === 'https://c.example/');
    await fake.chrome.tabs.update(second.id, { active: true });
    second.favIconUrl = 'https://c.example/icon.png';
    assert.equal(win.id, second.windowId);
    assert.deepEqual(await ask(port(), { type: 'captureCurrentTab' }), {
      ok: true,
      summary: 'Captured current tab',
      capture: {
        type: 'tab',
        tab: {
          url: 'https://c.example/',
          titleSnapshot: 'Title https://c.example/',
          favIconURL: 'https://c.example/icon.png',
          preferredOpenMode: 'existingTab',
        },
        binding: { windowID: win.id, tabID: second.id },
      },
    });
  });

  it('captureCurrentWindow names the live tab of every target, in tab order', async () => {
    const { fake, port } = started();
    const win = fake.addWindow({}, ['https://a.example/', 'https://b.example/']);
    const [a, b] = [...fake.tabs.values()];
    [a.index, b.index] = [1, 0];
    const { capture } = await ask(port(), { type: 'captureCurrentWindow' });
    assert.deepEqual(capture.window.map((t) => t.url), ['https://b.example/', 'https://a.example/']);
    assert.deepEqual(capture.bindings, [
      { windowID: win.id, tabID: b.id },
      { windowID: win.id, tabID: a.id },
    ]);
  });

  it('openURLsInNewWindow refuses an empty list and malformed bounds', async () => {
    const { port } = started();
    assert.equal((await ask(port(), { type: 'openURLsInNewWindow', urls: [] })).ok, false);
    const bad = await ask(port(), {
      type: 'openURLsInNewWindow',
      urls: ['https://a.example/'],
      bounds: { left: 1.5, top: 0, width: 1, height: 1 },
    });
    assert.deepEqual(bad, { ok: false, summary: 'Invalid window bounds' });
  });

  it('focusTab activates the tab and focuses the window that holds it now', async () => {
    const { fake, port } = started();
    const first = fake.addWindow({}, ['https://a.example/', 'https://b.example/']);
    fake.addWindow({}, ['https://c.example/']);
    const target = [...fake.tabs.values()].find((t) => t.url === 'https://b.example/');
    const reply = await ask(port(), { type: 'focusTab', windowID: 999, tabID: target.id });
    assert.deepEqual(reply, { ok: true, summary: 'Focused Chrome tab' });
    assert.equal(fake.tabs.get(target.id).active, true);
    assert.ok(fake.calls.some(([n, id, p]) => n === 'windows.update' && id === first.id && p.focused));
  });

  it('a failing browser call becomes ok false with the browser reason', async () => {
    const { port } = started();
    assert.deepEqual(await ask(port(), { type: 'focusTab', windowID: 1, tabID: 12345 }), {
      ok: false,
      summary: 'No tab with id: 12345.',
    });
  });

  it('openURLInWindow uses the given window or the current one', async () => {
    const { fake, port } = started();
    const win = fake.addWindow({}, ['https://a.example/']);
    fake.addWindow({}, ['https://b.example/']);
    const reply = await ask(port(), { type: 'openURLInWindow', url: 'https://x.example/', windowID: win.id });
    const made = [...fake.tabs.values()].find((t) => t.url === 'https://x.example/');
    assert.deepEqual(reply, {
      ok: true,
      summary: 'Opened https://x.example/',
      opened: [{ index: 0, windowID: win.id, tabID: made.id }],
      skipped: 0,
    });
    assert.ok(fake.calls.some(([n, p]) => n === 'tabs.create' && p.windowId === win.id && p.url === 'https://x.example/'));
    await ask(port(), { type: 'openURLInWindow', url: 'https://y.example/' });
    assert.equal([...fake.tabs.values()].find((t) => t.url === 'https://y.example/').windowId, win.id);
  });

  it('setWindowBounds and the window state commands report windows', async () => {
    const { fake, port } = started();
    const win = fake.addWindow({}, ['https://a.example/']);
    const moved = await ask(port(), {
      type: 'setWindowBounds',
      windowID: win.id,
      bounds: { left: 10, top: 20, width: 640, height: 480 },
    });
    assert.equal(moved.summary, 'Moved Chrome window to 640x480');
    assert.deepEqual(moved.windows[0].bounds, { left: 10, top: 20, width: 640, height: 480 });
    const current = await ask(port(), { type: 'getCurrentWindowState' });
    assert.equal(current.windows[0].id, win.id);
    assert.deepEqual(current.windows[0].tabs[0], {
      id: current.windows[0].tabs[0].id,
      windowID: win.id,
      title: 'Title https://a.example/',
      url: 'https://a.example/',
      isActive: true,
    });
    fake.addWindow({}, []);
    assert.equal((await ask(port(), { type: 'getAllWindowsState' })).windows.length, 2);
  });
});

describe('opening addresses', () => {
  const notWeb = [
    'file:///etc/passwd',
    'chrome://settings',
    'data:text/html,<script>alert(1)</script>',
    'view-source:https://a.example/',
    'javascript:alert(1)',
    'about:blank',
    'a.example/relative',
    'https://',
    '',
    42,
  ];
  const opened = (fake) => fake.calls.filter(([n]) => n === 'tabs.create' || n === 'windows.create');

  it('opens only absolute http and https addresses, as Chrome writes them, and counts the rest', async () => {
    const { fake, port } = started();
    const reply = await ask(port(), {
      type: 'openURLsInNewWindow',
      urls: ['HTTPS://A.Example', ...notWeb, 'http://b.example/p?q=1#f'],
    });
    assert.equal(reply.ok, true);
    assert.equal(reply.skipped, notWeb.length);
    assert.equal(reply.summary, `Opened 2 URL(s) in a new Chrome window; skipped ${notWeb.length} non-web address(es)`);
    assert.deepEqual(opened(fake).map(([, p]) => p.url), [['https://a.example/', 'http://b.example/p?q=1#f']]);
    const tabs = [...fake.tabs.values()];
    assert.deepEqual(reply.opened, [
      { index: 0, windowID: tabs[0].windowId, tabID: tabs[0].id },
      { index: notWeb.length + 1, windowID: tabs[1].windowId, tabID: tabs[1].id },
    ]);
  });

  it('openURLsInWindow appends background tabs in order and names each by its place in the list', async () => {
    const { fake, port } = started();
    const win = fake.addWindow({}, ['https://a.example/']);
    fake.addWindow({}, ['https://other.example/']);
    const reply = await ask(port(), {
      type: 'openURLsInWindow',
      windowID: win.id,
      urls: ['https://x.example/', 'javascript:alert(1)', 'https://y.example/'],
    });
    const inWindow = [...fake.tabs.values()].filter((t) => t.windowId === win.id);
    assert.deepEqual(inWindow.map((t) => [t.url, t.active]), [
      ['https://a.example/', true],
      ['https://x.example/', false],
      ['https://y.example/', false],
    ]);
    assert.deepEqual(reply, {
      ok: true,
      summary: 'Opened 2 URL(s); skipped 1 non-web address(es)',
      opened: [
        { index: 0, windowID: win.id, tabID: inWindow[1].id },
        { index: 2, windowID: win.id, tabID: inWindow[2].id },
      ],
      skipped: 1,
    });
    assert.deepEqual(await ask(port(), { type: 'openURLsInWindow', urls: ['https://x.example/'] }), {
      ok: false,
      summary: 'Invalid window',
    });
  });

  it('openURLsInWindow that fails part-way still reports what opened', async () => {
    const { fake, port } = started();
    const win = fake.addWindow({}, []);
    const create = fake.chrome.tabs.create;
    fake.chrome.tabs.create = async (props) => {
      if (props.url === 'https://b.example/') throw new Error('No window with id');
      return create(props);
    };
    const reply = await ask(port(), {
      type: 'openURLsInWindow',
      windowID: win.id,
      urls: ['https://a.example/', 'https://b.example/', 'https://c.example/'],
    });
    assert.equal(reply.ok, false);
    assert.equal(reply.summary, 'No window with id');
    assert.deepEqual(reply.opened.map((o) => o.index), [0]);
  });

  it('opens nothing and says so when no web address is left', async () => {
    const { fake, port } = started();
    fake.addWindow({}, ['https://a.example/']);
    for (const url of notWeb) {
      assert.deepEqual(await ask(port(), { type: 'openURLInWindow', url }), {
        ok: false,
        summary: 'No web addresses were given; skipped 1 non-web address(es)',
        skipped: 1,
      });
    }
    assert.deepEqual(await ask(port(), { type: 'openURLsInNewWindow', urls: notWeb }), {
      ok: false,
      summary: `No web addresses were given; skipped ${notWeb.length} non-web address(es)`,
      skipped: notWeb.length,
    });
    assert.deepEqual(opened(fake), []);
  });

  it('answers a refusal by Chrome with its reason, never with success', async () => {
    const cases = [
      {
        name: 'the new window is refused',
        message: { type: 'openURLsInNewWindow', urls: ['https://a.example/'] },
        patch: (chrome) => (chrome.windows.create = async () => {
          throw new Error('Invalid url');
        }),
        summary: 'Invalid url',
      },
      {
        name: 'no window comes back',
        message: { type: 'openURLsInNewWindow', urls: ['https://a.example/'] },
        patch: (chrome) => (chrome.windows.create = async () => undefined),
        summary: 'Chrome opened no window',
      },
      {
        name: 'the tab is refused while a window is open',
        message: { type: 'openURLInWindow', url: 'https://a.example/' },
        patch: (chrome) => (chrome.tabs.create = async () => {
          throw new Error('Cannot open tab');
        }),
        summary: 'Cannot open tab',
      },
    ];
    for (const c of cases) {
      const { fake, port } = started();
      fake.addWindow({}, ['https://b.example/']);
      c.patch(fake.chrome);
      assert.deepEqual(await ask(port(), c.message), { ok: false, summary: c.summary }, c.name);
      assert.equal(fake.windows.size, 1, c.name);
    }
  });

  it('openURLInWindow opens a window when none is open', async () => {
    const { fake, port } = started();
    assert.equal((await ask(port(), { type: 'openURLInWindow', url: 'https://a.example/' })).ok, true);
    assert.deepEqual([...fake.tabs.values()].map((t) => t.url), ['https://a.example/']);
  });
});

describe('events', () => {
  it('sends activeTabChanged, tabClosed and a debounced windowsState', async () => {
    const { fake, timers, port } = started();
    const win = fake.addWindow({}, ['https://a.example/']);
    const tab = [...fake.tabs.values()][0];
    await timers.runAll();
    const sent = () => port().sent.map((e) => e.message);

    fake.chrome.tabs.onActivated.fire({ tabId: tab.id, windowId: win.id });
    await flush();
    assert.deepEqual(sent().at(-1), {
      type: 'activeTabChanged',
      tab: { id: tab.id, windowID: win.id, title: 'Title https://a.example/', url: 'https://a.example/', isActive: true },
    });

    fake.chrome.tabs.onRemoved.fire(tab.id, { windowId: win.id });
    fake.chrome.windows.onCreated.fire({});
    fake.chrome.tabs.onCreated.fire({});
    assert.deepEqual(sent().at(-1), { type: 'tabClosed', tabID: tab.id });
    assert.equal(timers.count, 1, 'changes in a row make one windowsState');
    await timers.runAll();
    assert.equal(sent().at(-1).type, 'windowsState');
    assert.equal(sent().at(-1).windows[0].id, win.id);
    for (const envelope of port().sent) assert.match(envelope.id, UUID);
  });

  it('offers the Slack entry on Slack pages only and sends the thread', async () => {
    const { fake, port } = started();
    await flush();
    const [item] = fake.chrome.contextMenus.items;
    assert.equal(item.id, SLACK_MENU_ID);
    assert.deepEqual(item.documentUrlPatterns, ['https://*.slack.com/*']);

    fake.chrome.contextMenus.onClicked.fire(
      { menuItemId: SLACK_MENU_ID, pageUrl: 'https://team.slack.com/archives/C024BE91L/p1700000000000100' },
      { id: 1, url: 'https://team.slack.com/archives/C024BE91L/p1700000000000100' },
    );
    assert.deepEqual(port().sent.at(-1).message, {
      type: 'saveSlackThread',
      slackThread: {
        permalinkURL: 'https://team.slack.com/archives/C024BE91L/p1700000000000100',
        preferredOpenMode: 'browserPermalink',
        channelID: 'C024BE91L',
        messageTS: '1700000000.000100',
      },
    });
    const before = port().sent.length;
    fake.chrome.contextMenus.onClicked.fire({ menuItemId: 'other', pageUrl: 'https://x.slack.com/' }, {});
    assert.equal(port().sent.length, before);
  });
});

describe('display scale', () => {
  const content = { left: 384, top: 0, width: 1536, height: 1080 };
  const frame = ({ left, top, width, height }) => ({ left, top, width, height });

  it('bounds go to the browser in its units and come back in device pixels', async () => {
    const { fake, port, timers } = started();
    fake.display.scale = 1.5;
    const opened = await ask(port(), { type: 'openURLsInNewWindow', urls: ['https://a.example/'], bounds: content });
    const created = fake.calls.find(([name]) => name === 'windows.create')[1];
    assert.deepEqual(frame(created), { left: 256, top: 0, width: 1024, height: 720 });
    assert.deepEqual(opened.windows[0].bounds, content);

    const all = await ask(port(), { type: 'getAllWindowsState' });
    assert.deepEqual(all.windows[0].bounds, content);
    await timers.runAll();
    assert.deepEqual(port().sent.at(-1).message.windows[0].bounds, content, 'the windowsState event too');
    assert.equal(fake.calls.filter(([name]) => name === 'offscreen.createDocument').length, 1, 'one document serves all');
  });

  it('a background page (Firefox) reads its own scale, without an offscreen document', async () => {
    const fake = createFakeChrome();
    delete fake.chrome.offscreen;
    const background = { devicePixelRatio: 1.5 };
    const { port, timers } = started(fake, { scaleFactor: browserScaleFactor(fake.chrome, background) });
    const opened = await ask(port(), { type: 'openURLsInNewWindow', urls: ['https://a.example/'], bounds: content });
    const created = fake.calls.find(([name]) => name === 'windows.create')[1];
    assert.deepEqual(frame(created), { left: 256, top: 0, width: 1024, height: 720 });
    assert.deepEqual(opened.windows[0].bounds, content);
    await timers.runAll();
    assert.equal(port().sent.at(-1).message.type, 'windowsState');

    // Nor does a service worker without the offscreen API fail any other way.
    const bare = createFakeChrome();
    delete bare.chrome.offscreen;
    await assert.rejects(browserScaleFactor(bare.chrome, {})(), /Cannot read the browser's display scale/);
  });

  it('refuses bounds it cannot place', async () => {
    const { fake, port } = started();
    for (const [scale, bounds, summary] of [
      [1, { ...content, width: 0 }, 'Invalid window bounds'],
      ['1.5', content, "Cannot read the browser's display scale"],
    ]) {
      fake.display.scale = scale;
      const reply = await ask(port(), { type: 'openURLsInNewWindow', urls: ['https://a.example/'], bounds });
      assert.deepEqual(reply, { ok: false, summary });
    }
    assert.ok(!fake.calls.some(([name]) => name === 'windows.create'), 'no window opened');
  });
});
