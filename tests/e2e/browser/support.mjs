// Shared helpers for the browser tests: Debian's Chromium through playwright-core, and the two
// programs under test started on free ports with bounded waits.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const artifacts = join(dirname(fileURLToPath(import.meta.url)), '..', 'artifacts');
mkdirSync(artifacts, { recursive: true });

export const phone = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, hasTouch: true };

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required',
    ],
  });
}

// Runs a program and collects its output; `waitFor(re)` resolves with the first matching line.
class Program {
  constructor(command, args, env = {}) {
    this.lines = [];
    this.waiters = [];
    this.child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => resolve({ code, signal })));
    const collect = (stream) => {
      let partial = '';
      stream.setEncoding('utf8');
      stream.on('data', (data) => {
        partial += data;
        let end;
        while ((end = partial.indexOf('\n')) >= 0) {
          const line = partial.slice(0, end);
          partial = partial.slice(end + 1);
          this.lines.push(line);
          this.waiters = this.waiters.filter((w) => !w.test(line));
        }
      });
    };
    collect(this.child.stdout);
    collect(this.child.stderr);
  }

  waitFor(pattern, timeoutMs = 15000) {
    const found = this.lines.find((l) => pattern.test(l));
    if (found) return Promise.resolve(found);
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no line matching ${pattern} within ${timeoutMs} ms:\n${this.lines.slice(-20).join('\n')}`)), timeoutMs);
      this.waiters.push({ test: (line) => (pattern.test(line) ? (clearTimeout(timer), resolve(line), true) : false) });
    });
  }

  async stop(signal = 'SIGTERM') {
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill(signal);
    const timeout = new Promise((resolve) => setTimeout(resolve, 10000, null));
    const result = await Promise.race([this.exited, timeout]);
    if (result === null) this.child.kill('SIGKILL');
    return result;
  }
}

// The stdin-driven listener server: `send('final Hello')` broadcasts a caption.
// `port` pins the port, to restart a server where its listeners will look for it.
export async function startFixture(settings = [], { port } = {}) {
  const args = settings.flatMap((s) => ['--set', s]);
  if (port) args.push('--port', String(port));
  const program = new Program(process.env.LISTENER_FIXTURE, args);
  const ready = await program.waitFor(/^READY \d+$/);
  program.port = Number(ready.split(' ')[1]);
  program.url = `http://127.0.0.1:${program.port}`;
  let acknowledged = 0;
  program.send = async (command) => {
    const word = command.split(' ')[0];
    const before = program.lines.filter((l) => l === `OK ${word}`).length;
    program.child.stdin.write(command + '\n');
    await new Promise((resolve, reject) => {
      const deadline = Date.now() + 5000;
      const poll = () => {
        if (program.lines.filter((l) => l === `OK ${word}`).length > before) return resolve();
        if (Date.now() > deadline) return reject(new Error(`fixture did not acknowledge ${command}`));
        setTimeout(poll, 5);
      };
      poll();
    });
    acknowledged++;
  };
  return program;
}

// The real lumeno binary, headless, with its own config folder and a free port.
export async function startLumeno(args = [], env = {}) {
  const config = mkdtempSync(join(tmpdir(), 'lumeno-browser-'));
  const port = await freePort();
  const program = new Program(process.env.LUMENO_BINARY, ['--headless', '--port', String(port), '--config-dir', config, ...args], env);
  await program.waitFor(new RegExp(`^Server ready on port ${port}$`));
  program.port = port;
  program.url = `http://127.0.0.1:${port}`;
  const stop = program.stop.bind(program);
  program.stop = async (signal) => {
    const result = await stop(signal);
    rmSync(config, { recursive: true, force: true });
    return result;
  };
  return program;
}

async function freePort() {
  const { createServer } = await import('node:net');
  return new Promise((resolve) => {
    const server = createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// Polls a page expression until it is truthy (bounded).
export async function waitUntil(page, expression, timeoutMs = 10000, arg = null) {
  await page.waitForFunction(expression, arg, { timeout: timeoutMs, polling: 50 });
}

// An HTTP proxy on loopback between the page and a server. `stall(ms)` stops reading the audio
// stream for a while, so the server's data piles up and then arrives as one burst, as after a
// network stall. `audio`, when set, answers /audio itself: (request, response) => void.
export async function startProxy(upstreamUrl) {
  const http = await import('node:http');
  const upstream = new URL(upstreamUrl);
  const streams = new Set();
  const proxy = { audio: null, audioRequests: 0 };
  const server = http.createServer((req, res) => {
    if (req.url.startsWith('/audio')) {
      proxy.audioRequests++;
      if (proxy.audio) return proxy.audio(req, res);
    }
    const forward = http.request({ host: upstream.hostname, port: upstream.port, path: req.url, method: req.method, headers: req.headers }, (up) => {
      res.writeHead(up.statusCode, up.headers);
      up.pipe(res);
      if (req.url.startsWith('/audio')) {
        streams.add(up);
        up.on('close', () => { streams.delete(up); res.destroy(); });
      }
    });
    forward.on('error', () => res.destroy());
    res.on('close', () => forward.destroy());
    req.pipe(forward);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  proxy.url = `http://127.0.0.1:${server.address().port}`;
  proxy.stall = async (ms) => {
    for (const s of streams) s.pause();
    await new Promise((resolve) => setTimeout(resolve, ms));
    for (const s of streams) s.resume();
  };
  proxy.close = () => new Promise((resolve) => { server.closeAllConnections(); server.close(resolve); });
  return proxy;
}

// Answers /audio with `head` (extra header fields) and then `seconds` of audio in real time in
// chunks of `frames` frames: a 440 Hz tone at half scale, or `sample(frame)` when given. `tail`
// bytes, when given, are sent last; then the response ends.
export function toneResponse({ head = {}, rate = 48000, channels = 1, seconds = 2, frames = 1024, sample = null, tail = null }) {
  const value = sample ?? ((frame) => Math.round(16383 * Math.sin(2 * Math.PI * 440 * frame / rate)));
  return (req, res) => {
    res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Cache-Control': 'no-cache',
      'X-Sample-Rate': String(rate), 'X-Channels': String(channels), ...head });
    let sent = 0;
    let frame = 0;
    const total = Math.round(seconds * rate / frames);
    const started = Date.now();
    const timer = setInterval(() => {
      const due = Math.min(total, Math.floor((Date.now() - started) / 1000 * rate / frames) + 1);
      for (; sent < due; sent++) {
        const chunk = Buffer.alloc(frames * channels * 2);
        for (let i = 0; i < frames; i++, frame++) {
          for (let c = 0; c < channels; c++) chunk.writeInt16LE(value(frame), (i * channels + c) * 2);
        }
        res.write(chunk);
      }
      if (sent >= total) {
        clearInterval(timer);
        if (tail) res.write(tail);
        res.end();
      }
    }, 5);
    res.on('close', () => clearInterval(timer));
  };
}
