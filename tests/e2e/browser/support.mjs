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
export async function startFixture(settings = []) {
  const args = settings.flatMap((s) => ['--set', s]);
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
export async function waitUntil(page, expression, timeoutMs = 10000) {
  await page.waitForFunction(expression, null, { timeout: timeoutMs, polling: 50 });
}
