// Drives Debian's Firefox ESR for test_FirefoxEndToEnd through puppeteer-core:
// starts it (headless unless DISPLAY is set), installs our unsigned extension
// as a temporary add-on over WebDriver BiDi and opens the start page. Then it
// evaluates expressions in the extension's background page, one per line of
// standard input, over Firefox's remote debugging protocol (BiDi reaches web
// pages only). Answers are single lines starting with MARK on standard
// output, which Firefox's own output shares.
//   node firefox-driver.mjs PUPPETEER_DIR EXTENSION_DIR START_URL
// In:  {"id": 1, "evaluate": "browser.tabs.remove(7)"}
// Out: @@tarni {"ready": true} | {"id": 1, "value": <JSON>} | {"id": 1, "error": "..."}
// The browser closes when standard input ends.
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';
import readline from 'node:readline';

const MARK = '@@tarni ';
const EXTENSION_ID = 'companion@tarni.bar';
const say = (message) => process.stdout.write(MARK + JSON.stringify(message) + '\n');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const [puppeteerDir, extensionDir, startUrl] = process.argv.slice(2);
if (!puppeteerDir || !extensionDir || !startUrl) {
  say({ error: 'usage: firefox-driver.mjs PUPPETEER_DIR EXTENSION_DIR START_URL' });
  process.exit(2);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// The remote debugging protocol: "LENGTH:JSON" packets over TCP.
class DebuggerClient {
  static async connect(port) {
    const client = new DebuggerClient();
    for (let attempt = 0; ; attempt++) {
      try {
        await client.open(port);
        return client;
      } catch (error) {
        if (attempt >= 50) throw error;
        await sleep(100);
      }
    }
  }

  open(port) {
    this.buffer = Buffer.alloc(0);
    this.waiters = [];
    return new Promise((resolve, reject) => {
      const greeting = this.next((p) => p.from === 'root' && p.applicationType !== undefined);
      this.socket = net.connect(port, '127.0.0.1');
      this.socket.once('error', reject);
      this.socket.on('data', (data) => this.receive(data));
      greeting.then(resolve, reject);
    });
  }

  receive(data) {
    this.buffer = Buffer.concat([this.buffer, data]);
    for (;;) {
      const colon = this.buffer.indexOf(':');
      if (colon < 0) return;
      const length = Number(this.buffer.subarray(0, colon).toString());
      if (!Number.isSafeInteger(length) || length < 0 || length > 64 * 1024 * 1024) {
        this.socket.destroy(new Error('malformed debugger packet'));
        return;
      }
      if (this.buffer.length < colon + 1 + length) return;
      const packet = JSON.parse(this.buffer.subarray(colon + 1, colon + 1 + length).toString());
      this.buffer = this.buffer.subarray(colon + 1 + length);
      const index = this.waiters.findIndex((w) => w.test(packet));
      if (index >= 0) this.waiters.splice(index, 1)[0].resolve(packet);
    }
  }

  next(test, timeoutMs = 10000) {
    return new Promise((resolve, reject) => {
      const waiter = { test, resolve: (p) => (clearTimeout(timer), resolve(p)) };
      const timer = setTimeout(() => {
        this.waiters.splice(this.waiters.indexOf(waiter), 1);
        reject(new Error('no answer from the debugger'));
      }, timeoutMs);
      this.waiters.push(waiter);
    });
  }

  send(packet) {
    const text = JSON.stringify(packet);
    this.socket.write(`${Buffer.byteLength(text)}:${text}`);
  }

  // A request's direct answer (not an event the actor sends meanwhile).
  async request(to, type, extra = {}) {
    const answer = this.next((p) => p.from === to && (p.type === undefined || p.error !== undefined));
    this.send({ to, type, ...extra });
    const packet = await answer;
    if (packet.error) throw new Error(`${type}: ${packet.error} ${packet.message ?? ''}`);
    return packet;
  }

  // The console of the extension's background page.
  async backgroundConsole() {
    const { addons } = await this.request('root', 'listAddons');
    const addon = addons.find((a) => a.id === EXTENSION_ID);
    if (!addon) throw new Error(`${EXTENSION_ID} is not installed`);
    const watcher = await this.request(addon.actor, 'getWatcher');
    const background = this.next(
      (p) => p.type === 'target-available-form' && /_generated_background_page\.html$/.test(p.target?.url ?? ''),
    );
    this.send({ to: watcher.actor, type: 'watchTargets', targetType: 'frame' });
    return (await background).target.consoleActor;
  }

  async evaluate(consoleActor, text) {
    const answer = this.next((p) => p.type === 'evaluationResult' && p.from === consoleActor);
    await this.request(consoleActor, 'evaluateJSAsync', { text });
    const result = await answer;
    if (result.exceptionMessage) throw new Error(String(result.exceptionMessage));
    return result.result;
  }
}

const require = createRequire(path.join(puppeteerDir, 'package.json'));
const puppeteer = require('puppeteer-core');
let browser;
try {
  const port = await freePort();
  browser = await puppeteer.launch({
    browser: 'firefox',
    executablePath: '/usr/bin/firefox-esr',
    headless: !process.env.DISPLAY,
    dumpio: true,
    args: ['--start-debugger-server', String(port)],
    extraPrefsFirefox: {
      'devtools.debugger.remote-enabled': true,
      'devtools.chrome.enabled': true,
      'devtools.debugger.prompt-connection': false,
    },
    protocolTimeout: 30000,
  });
  const installed = await browser.installExtension(path.resolve(extensionDir));
  if (installed !== EXTENSION_ID) throw new Error(`installed ${installed} instead of ${EXTENSION_ID}`);
  const [page] = await browser.pages();
  await page.goto(startUrl);

  let consoleActor = null;
  let client = null;
  // Each expression's awaited value lands in a slot of the page, read back
  // as JSON text (a plain string over the protocol).
  async function evaluate(expression, id) {
    client ??= await DebuggerClient.connect(port);
    consoleActor ??= await client.backgroundConsole();
    const slot = `globalThis.__tarniEvaluated${Number(id)}`;
    await client.evaluate(
      consoleActor,
      `${slot} = null; Promise.resolve().then(() => (${expression})).then(` +
        `(v) => { ${slot} = JSON.stringify({ value: v === undefined ? null : v }); },` +
        `(e) => { ${slot} = JSON.stringify({ error: String(e?.message ?? e) }); }); undefined`,
    );
    for (let i = 0; i < 200; i++) {
      const text = await client.evaluate(consoleActor, slot);
      if (typeof text === 'string') return JSON.parse(text);
      await sleep(50);
    }
    return { error: 'no result within 10 s' };
  }

  say({ ready: true });
  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    let request;
    try {
      request = JSON.parse(line);
    } catch {
      continue;
    }
    try {
      say({ id: request.id, ...(await evaluate(String(request.evaluate), request.id)) });
    } catch (error) {
      say({ id: request.id, error: String(error?.message ?? error) });
    }
  }
} catch (error) {
  say({ error: String(error?.stack ?? error) });
  process.exitCode = 1;
} finally {
  await browser?.close().catch(() => {});
}
