// The three browser engines behind one small page interface, for the browser tests and the
// listen benchmark: Debian's Chromium (playwright-core), Firefox ESR (puppeteer-core over WebDriver
// BiDi) and WebKitGTK (WebKitWebDriver driving MiniBrowser on a private Xvfb display).
//
// A venue serves the page over plain http from a LAN address, which no browser treats as a
// secure context; http://localhost is one. So pages are opened from `lanHost`, which only the
// launched browser resolves to loopback: Chromium by its host-resolver rules, Firefox by
// network.dns.localDomains, WebKit through a local proxy given in the session's capabilities.
//
//   const browser = await launchEngine('firefox', { pulseServer });
//   const page = await browser.newPage();
//   await page.goto(pageUrl(port, '/listen'));
//   await page.waitFor(() => listenerStats.state === 'playing');
//
// Functions given to evaluate and waitFor run in the page: they may use only their argument.
import { spawn } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

export const engines = ['chromium', 'firefox', 'webkit'];
export const lanHost = 'lumeno.test';
export const pageUrl = (port, path = '/listen', host = lanHost) => `http://${host}:${port}${path}`;

const here = dirname(fileURLToPath(import.meta.url));
const modules = join(here, 'node_modules');
const phone = { width: 390, height: 844 };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// `pulseServer`: where the browser plays (a private PulseAudio daemon's socket).
export async function launchEngine(engine, { pulseServer } = {}) {
  const env = { ...process.env, ...(pulseServer ? { PULSE_SERVER: pulseServer } : {}) };
  if (engine === 'chromium') return launchChromium(env);
  if (engine === 'firefox') return launchFirefox(env);
  if (engine === 'webkit') return launchWebKit(env);
  throw new Error(`unknown engine ${engine}`);
}

// Polls in node rather than in the page, the same way for every engine.
async function poll(evaluate, fn, arg, timeoutMs) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    last = await evaluate(fn, arg).catch((error) => ({ pollError: error.message }));
    if (last && !last.pollError) return last;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${fn}${last && last.pollError ? ` (${last.pollError})` : ''}`);
    await sleep(50);
  }
}

// What every engine's page offers on top of its own evaluate, click and screenshot.
function wrapPage(engine, impl) {
  const page = {
    engine,
    ...impl,
    waitFor: (fn, arg = null, timeoutMs = 10000) => poll(impl.evaluate, fn, arg, timeoutMs),
    text: (selector) => impl.evaluate((s) => document.querySelector(s).textContent, selector),
    // Loads `url`, then stores `storage` (key -> value) on the phone and loads it again, as a
    // listener coming back to the page would.
    async open(url, storage = null) {
      await impl.goto(url);
      if (!storage) return;
      await impl.evaluate((items) => { for (const key in items) localStorage.setItem(key, items[key]); }, storage);
      await impl.goto(url);
    },
  };
  return page;
}

async function launchChromium(env) {
  const { chromium } = await import(join(modules, 'playwright-core', 'index.mjs'));
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    // Playwright mutes headless audio by default; the page must play into the sound server.
    ignoreDefaultArgs: ['--mute-audio'],
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required',
      `--host-resolver-rules=MAP ${lanHost} 127.0.0.1`,
    ],
    env,
  });
  return {
    engine: 'chromium',
    async newPage() {
      const context = await browser.newContext({ viewport: phone, deviceScaleFactor: 2, hasTouch: true });
      const page = await context.newPage();
      return wrapPage('chromium', {
        goto: (url) => page.goto(url, { timeout: 15000 }),
        evaluate: (fn, arg = null) => page.evaluate(fn, arg),
        click: (selector) => page.click(selector, { timeout: 5000 }),
        press: (key) => page.keyboard.press(key),
        screenshot: (path, { fullPage = false } = {}) => page.screenshot({ path, fullPage, animations: 'disabled' }),
        close: () => context.close(),
      });
    },
    close: () => browser.close(),
  };
}

async function launchFirefox(env) {
  const { default: puppeteer } = await import(join(modules, 'puppeteer-core', 'lib', 'esm', 'puppeteer', 'puppeteer-core.js'));
  const browser = await puppeteer.launch({
    browser: 'firefox',
    executablePath: process.env.FIREFOX || '/usr/bin/firefox-esr',
    headless: true,
    extraPrefsFirefox: {
      'network.dns.localDomains': lanHost,
      'media.autoplay.default': 0,
      'media.autoplay.blocking_policy': 0,
    },
    env,
  });
  return {
    engine: 'firefox',
    async newPage() {
      const context = await browser.createBrowserContext();
      const page = await context.newPage();
      await page.setViewport({ ...phone, deviceScaleFactor: 2, hasTouch: true });
      return wrapPage('firefox', {
        goto: (url) => page.goto(url, { timeout: 15000 }),
        evaluate: (fn, arg = null) => page.evaluate(fn, arg),
        click: (selector) => page.click(selector),
        press: (key) => page.keyboard.press(key),
        screenshot: (path, { fullPage = false } = {}) => page.screenshot({ path, fullPage }),
        close: () => context.close(),
      });
    },
    close: () => browser.close(),
  };
}

// WebKitGTK: one WebDriver session (one MiniBrowser) per page, so pages share no storage.
async function launchWebKit(env) {
  const display = await startXvfb();
  const proxy = await startLanProxy();
  const port = await freePort();
  const driver = spawn(process.env.WEBKIT_WEBDRIVER || 'WebKitWebDriver', [`--port=${port}`],
    { env: { ...env, DISPLAY: display.name }, stdio: ['ignore', 'ignore', 'pipe'], detached: true });
  driver.log = [];
  driver.stderr.setEncoding('utf8');
  driver.stderr.on('data', (data) => driver.log.push(...data.split('\n').filter((l) => l.trim())));
  const base = `http://127.0.0.1:${port}`;
  const command = async (method, path, body) => {
    const response = await fetch(base + path, {
      method, headers: { 'Content-Type': 'application/json' }, body: body === undefined ? undefined : JSON.stringify(body),
      signal: AbortSignal.timeout(30000),
    });
    const { value } = await response.json();
    if (value && value.error) throw new Error(`${value.error}: ${value.message}${/crash/i.test(value.message) ? `\n${driver.log.slice(-10).join('\n')}` : ''}`);
    return value;
  };
  for (let tries = 0; ; tries++) {
    try {
      await command('GET', '/status');
      break;
    } catch (error) {
      if (tries > 100) throw new Error(`WebKitWebDriver did not start: ${error.message}`);
      await sleep(50);
    }
  }
  const sessions = new Set();
  return {
    engine: 'webkit',
    async newPage() {
      const { sessionId } = await command('POST', '/session', { capabilities: { alwaysMatch: {
        browserName: 'MiniBrowser',
        'webkitgtk:browserOptions': {
          binary: process.env.MINIBROWSER || '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser',
          args: ['--automation', '--autoplay-policy=allow'],
        },
        proxy: { proxyType: 'manual', httpProxy: `127.0.0.1:${proxy.port}` },
      } } });
      sessions.add(sessionId);
      const session = (method, path, body) => command(method, `/session/${sessionId}${path}`, body);
      await session('POST', '/window/rect', phone);
      const evaluate = async (fn, arg = null) => {
        const script = `const done = arguments[arguments.length - 1];
          Promise.resolve().then(() => (${fn})(arguments[0])).then(
            (value) => done({ value: value === undefined ? null : value }),
            (error) => done({ error: String(error && error.stack || error) }));`;
        const result = await session('POST', '/execute/async', { script, args: [arg] });
        if (result.error) throw new Error(result.error);
        return result.value;
      };
      return wrapPage('webkit', {
        goto: (url) => session('POST', '/url', { url }),
        evaluate,
        async click(selector) {
          const element = await session('POST', '/element', { using: 'css selector', value: selector });
          await session('POST', `/element/${Object.values(element)[0]}/click`, {});
        },
        press: (key) => session('POST', '/actions', { actions: [{ type: 'key', id: 'keyboard', actions: [
          { type: 'keyDown', value: webDriverKeys[key] || key }, { type: 'keyUp', value: webDriverKeys[key] || key }] }] }),
        async screenshot(path) {
          writeFileSync(path, Buffer.from(await session('GET', '/screenshot'), 'base64'));
        },
        async close() {
          sessions.delete(sessionId);
          await session('DELETE', '').catch(() => {});
        },
      });
    },
    async close() {
      for (const id of sessions) await command('DELETE', `/session/${id}`).catch(() => {});
      await stopGroup(driver);
      proxy.close();
      await display.stop();
    },
  };
}

const webDriverKeys = { Escape: '\uE00C', Enter: '\uE007', Tab: '\uE004' };

// A process started in a group of its own, ended with everything it started (MiniBrowser and
// its helpers outlive a WebDriver that is simply killed).
async function stopGroup(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once('exit', resolve));
  try {
    process.kill(-child.pid, 'SIGTERM');
  } catch {
    return;
  }
  if (await Promise.race([exited.then(() => true), sleep(3000).then(() => false)])) return;
  try {
    process.kill(-child.pid, 'SIGKILL');
  } catch {}
  await exited;
}

async function startXvfb() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'], detached: true });
  const number = await new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error('Xvfb did not start')), 10000);
    xvfb.stdio[3].on('data', (data) => {
      text += data;
      if (text.includes('\n')) {
        clearTimeout(timer);
        resolve(text.trim());
      }
    });
    xvfb.on('exit', (code) => reject(new Error(`Xvfb exited (${code})`)));
  });
  return { name: `:${number}`, stop: () => stopGroup(xvfb) };
}

// An HTTP proxy that sends every request for `lanHost` (or loopback) to the same port on
// 127.0.0.1, as the venue's address would reach Lumeno, in the origin form Lumeno expects. Bodies pass as they
// come, so streams are not held up.
export async function startLanProxy() {
  const server = http.createServer((req, res) => {
    let target;
    try {
      target = new URL(req.url);
    } catch {
      target = null;
    }
    if (!target || ![lanHost, 'localhost', '127.0.0.1'].includes(target.hostname)) {
      res.writeHead(502, { Connection: 'close' });
      return res.end();
    }
    const upstream = http.request({ host: '127.0.0.1', port: Number(target.port || 80), path: target.pathname + target.search,
      method: req.method, headers: req.headers, agent: false }, (answer) => {
      res.writeHead(answer.statusCode, answer.headers);
      answer.pipe(res);
    });
    upstream.on('socket', (socket) => socket.setNoDelay(true));
    upstream.on('error', () => res.destroy());
    res.on('close', () => upstream.destroy());
    req.pipe(upstream);
  });
  server.on('connection', (socket) => socket.setNoDelay(true));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    close() {
      server.closeAllConnections();
      server.close();
    },
  };
}

export async function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}
