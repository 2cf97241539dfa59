// Shared helpers for the browser tests: the engine under test (BROWSER_ENGINE: chromium, firefox
// or webkit) playing into a private PulseAudio daemon, and the programs under test started on
// free ports with bounded waits.
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync, readFileSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchEngine, until } from './engines.mjs';

export { pageUrl, until } from './engines.mjs';

const here = dirname(fileURLToPath(import.meta.url));
export const artifacts = join(here, '..', 'artifacts');
mkdirSync(artifacts, { recursive: true });

export const engine = process.env.BROWSER_ENGINE || 'chromium';
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The engine under test with a sound server of its own: `sound.record(ms)` resolves to what the
// browser played over the next `ms`. Call `close()` in after().
export async function openBrowser() {
  const sound = await startPulse();
  const browser = await launchEngine(engine, { pulseServer: sound.server }).catch(async (error) => { await sound.stop(); throw error; });
  const close = browser.close;
  return Object.assign(browser, { sound, close: async () => { await close(); await sound.stop(); } });
}

// A PulseAudio daemon in a temporary folder whose only sink, "ear", plays into nothing; its
// monitor is what the browser played, as mono 48 kHz samples.
async function startPulse() {
  const dir = mkdtempSync(join(tmpdir(), 'lumeno-pulse-'));
  const server = `unix:${join(dir, 'native')}`;
  const daemon = new Program('pulseaudio', ['--daemonize=no', '--exit-idle-time=-1', '-n', '--use-pid-file=no',
    `--load=module-native-protocol-unix auth-anonymous=1 socket=${join(dir, 'native')}`,
    '--load=module-null-sink sink_name=ear rate=48000'],
  { HOME: dir, XDG_RUNTIME_DIR: dir, PULSE_SERVER: server });
  const env = { ...process.env, PULSE_SERVER: server };
  await until('PulseAudio', () => { execFileSync('pactl', ['info'], { env, stdio: 'ignore', timeout: 2000 }); return true; });
  return {
    server,
    // The recorder can take a second to deliver on a busy machine: `ms` count from its first bytes.
    async record(ms) {
      const recorder = spawn('parec', ['--device=ear.monitor', '--raw', '--format=s16le', '--rate=48000', '--channels=1',
        '--latency-msec=10'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
      const chunks = [];
      recorder.stdout.on('data', (data) => chunks.push(data));
      await until('the recorder', () => chunks.length > 0);
      await sleep(ms);
      recorder.kill();
      const bytes = Buffer.concat(chunks);
      return Array.from({ length: bytes.length >> 1 }, (_, i) => bytes.readInt16LE(2 * i) / 32768);
    },
    async stop() {
      await daemon.stop();
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Seconds of the recording, in 20 ms windows, in which a tone of `frequency` carries most of the
// energy. Rate trims and skips move its phase, so each window is judged alone; how smoothly it
// plays is for the listen benchmark to measure.
export function toneSeconds(samples, frequency, rate = 48000) {
  const window = rate / 50;
  const coefficient = 2 * Math.cos((2 * Math.PI * frequency) / rate);
  let windows = 0;
  for (let at = 0; at + window <= samples.length; at += window) {
    let [energy, s1, s2] = [0, 0, 0];
    for (const x of samples.slice(at, at + window)) {
      energy += x * x;
      [s1, s2] = [x + coefficient * s1 - s2, s1];
    }
    const toneEnergy = (s1 * s1 + s2 * s2 - coefficient * s1 * s2) * 2 / window;
    if (energy > 1e-3 * window && toneEnergy > 0.6 * energy) windows++;
  }
  return windows / 50;
}

// Serious and critical accessibility violations on the page as it is now, as "rule: target" lines.
const axeSource = readFileSync(join(here, 'node_modules', 'axe-core', 'axe.min.js'), 'utf8');
export async function accessibilityViolations(page) {
  return page.evaluate(async (source) => {
    if (!window.axe) new Function(source)();
    const result = await window.axe.run(document, { resultTypes: ['violations'] });
    return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  }, axeSource);
}

// Runs a program and collects its output lines; `waitFor(re)` resolves with the first match.
class Program {
  constructor(command, args, env = {}) {
    this.lines = [];
    this.child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => resolve({ code, signal })));
    for (const stream of [this.child.stdout, this.child.stderr]) {
      let partial = '';
      stream.setEncoding('utf8');
      stream.on('data', (data) => {
        const lines = (partial + data).split('\n');
        partial = lines.pop();
        this.lines.push(...lines);
      });
    }
  }

  waitFor(pattern, timeoutMs = 15000) {
    return until(`a line matching ${pattern}`, () => this.lines.find((l) => pattern.test(l)), timeoutMs)
      .catch((error) => { throw new Error(`${error.message}:\n${this.lines.slice(-20).join('\n')}`); });
  }

  async stop(signal = 'SIGTERM') {
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill(signal);
    const result = await Promise.race([this.exited, sleep(10000).then(() => null)]);
    if (result === null) this.child.kill('SIGKILL');
    return result;
  }
}

// The stdin-driven listener server (listener_fixture.cpp): `send('final Hello')` broadcasts a
// caption once the fixture acknowledges it; `count()` is the listener count the operator sees.
// `port` pins the port, to restart a server where its listeners will look for it.
export async function startFixture(settings = [], { port } = {}) {
  const program = new Program(process.env.LISTENER_FIXTURE, [...settings.flatMap((s) => ['--set', s]), ...(port ? ['--port', String(port)] : [])]);
  program.port = Number((await program.waitFor(/^READY \d+$/)).split(' ')[1]);
  program.url = `http://127.0.0.1:${program.port}`;
  let sent = 0;
  program.send = async (command) => {
    program.child.stdin.write(command + '\n');
    const acknowledged = ++sent;
    await until(`the fixture's answer to ${command}`, () => program.lines.filter((l) => l.startsWith('OK ')).length >= acknowledged);
  };
  program.count = async () => {
    await program.send('count');
    return Number(program.lines.filter((l) => l.startsWith('COUNT ')).at(-1).split(' ')[1]);
  };
  return program;
}

// An HTTP proxy on loopback between the page and a server. `cut()` drops every connection, as a
// network drop would. `audio`, when set, answers /audio itself: (request, response) => void.
// `requests` lists the paths asked for, in order; `audioBytes` counts what the server sent on
// /audio after the response head.
export async function startProxy(upstreamUrl) {
  const upstream = new URL(upstreamUrl);
  const proxy = { audio: null, audioRequests: 0, requests: [], audioBytes: 0 };
  const server = http.createServer((req, res) => {
    const audio = req.url.startsWith('/audio');
    proxy.requests.push(new URL(req.url, 'http://proxy').pathname);
    if (audio) proxy.audioRequests++;
    if (audio && proxy.audio) return proxy.audio(req, res);
    const forward = http.request({ host: upstream.hostname, port: upstream.port, path: req.url, method: req.method, headers: req.headers }, (up) => {
      res.writeHead(up.statusCode, up.headers);
      up.pipe(res);
      if (!audio) return;
      up.on('data', (data) => { proxy.audioBytes += data.length; });
      up.on('close', () => res.destroy());
    });
    forward.on('error', () => res.destroy());
    res.on('close', () => forward.destroy());
    req.pipe(forward);
  });
  // Idle connections stay open: one closed just as the browser reuses it fails that request.
  server.keepAliveTimeout = 0;
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  proxy.port = server.address().port;
  proxy.url = `http://127.0.0.1:${proxy.port}`;
  proxy.cut = () => server.closeAllConnections();
  proxy.close = () => new Promise((resolve) => { server.closeAllConnections(); server.close(resolve); });
  return proxy;
}

// Answers /audio with `head` (extra header fields) and then `seconds` of audio in real time in
// chunks of 1024 frames: a 440 Hz tone at half scale. Then the response ends.
export function toneResponse({ head = {}, rate = 48000, seconds = 2 }) {
  return (req, res) => {
    res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'X-Sample-Rate': String(rate), 'X-Channels': '1', ...head });
    const frames = 1024;
    const total = Math.round(seconds * rate / frames);
    const started = Date.now();
    let sent = 0;
    const timer = setInterval(() => {
      for (const due = Math.min(total, Math.floor((Date.now() - started) / 1000 * rate / frames) + 1); sent < due; sent++) {
        const chunk = Buffer.alloc(frames * 2);
        for (let i = 0; i < frames; i++) chunk.writeInt16LE(Math.round(16383 * Math.sin(2 * Math.PI * 440 * (sent * frames + i) / rate)), i * 2);
        res.write(chunk);
      }
      if (sent < total) return;
      clearInterval(timer);
      res.end();
    }, 5);
    res.on('close', () => clearInterval(timer));
  };
}
