// Shared helpers for the browser tests: the engine under test (BROWSER_ENGINE: chromium, firefox
// or webkit) playing into a private PulseAudio daemon, and the programs under test started on
// free ports with bounded waits.
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchEngine, freePort } from './engines.mjs';

export { pageUrl } from './engines.mjs';

const here = dirname(fileURLToPath(import.meta.url));
export const artifacts = join(here, '..', 'artifacts');
mkdirSync(artifacts, { recursive: true });

export const engine = process.env.BROWSER_ENGINE || 'chromium';
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The engine under test with a sound server of its own: `sound.record(ms)` records what the
// browser played. Call `close()` in after().
export async function openBrowser() {
  const sound = await startPulse();
  try {
    const browser = await launchEngine(engine, { pulseServer: sound.server });
    const close = browser.close;
    return Object.assign(browser, { sound, close: async () => { await close(); await sound.stop(); } });
  } catch (error) {
    await sound.stop();
    throw error;
  }
}

// A PulseAudio daemon in a temporary folder whose only sink, "ear", plays into nothing; its
// monitor is what the browser played.
async function startPulse() {
  const dir = mkdtempSync(join(tmpdir(), 'lumeno-pulse-'));
  const server = `unix:${join(dir, 'native')}`;
  const daemon = new Program('pulseaudio', ['--daemonize=no', '--exit-idle-time=-1', '-n', '--use-pid-file=no',
    `--load=module-native-protocol-unix auth-anonymous=1 socket=${join(dir, 'native')}`,
    '--load=module-null-sink sink_name=ear rate=48000'],
  { HOME: dir, XDG_RUNTIME_DIR: dir, PULSE_SERVER: server });
  const env = { ...process.env, PULSE_SERVER: server };
  for (let tries = 0; ; tries++) {
    try {
      execFileSync('pactl', ['info'], { env, stdio: 'ignore', timeout: 2000 });
      break;
    } catch (error) {
      if (tries > 100) throw new Error(`PulseAudio did not start:\n${daemon.lines.join('\n')}`);
      await sleep(50);
    }
  }
  return {
    server,
    // Starts recording the sink's monitor; resolves once the recorder delivers (which can take
    // a second on a busy machine). `stop()` resolves to the mono 48 kHz samples recorded.
    async startRecording() {
      const recorder = spawn('parec', ['--device=ear.monitor', '--raw', '--format=s16le', '--rate=48000', '--channels=1',
        '--latency-msec=10'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
      const chunks = [];
      const closed = new Promise((resolve) => recorder.stdout.on('close', resolve));
      await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error('the recorder delivered nothing')), 10000);
        recorder.stdout.on('data', (data) => {
          chunks.push(data);
          clearTimeout(timer);
          resolve();
        });
      });
      return {
        async stop() {
          recorder.kill();
          await closed;
          const bytes = Buffer.concat(chunks);
          return Array.from({ length: bytes.length >> 1 }, (_, i) => bytes.readInt16LE(2 * i) / 32768);
        },
      };
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
  let windows = 0;
  for (let at = 0; at + window <= samples.length; at += window) {
    const part = samples.slice(at, at + window);
    const energy = part.reduce((sum, x) => sum + x * x, 0) / window;
    const coefficient = 2 * Math.cos((2 * Math.PI * frequency) / rate);
    let s1 = 0;
    let s2 = 0;
    for (const x of part) [s1, s2] = [x + coefficient * s1 - s2, s1];
    const toneEnergy = (s1 * s1 + s2 * s2 - coefficient * s1 * s2) * 2 / (window * window);
    if (energy > 1e-3 && toneEnergy > 0.6 * energy) windows++;
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
  // The server's listener count, as the operator's window would show it.
  program.count = async () => {
    await program.send('count');
    return Number(program.lines.filter((l) => l.startsWith('COUNT ')).at(-1).split(' ')[1]);
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

// An HTTP proxy on loopback between the page and a server. `stall(ms)` stops reading the audio
// stream for a while, so the server's data piles up and then arrives as one burst, as after a
// network stall. `audio`, when set, answers /audio itself: (request, response) => void.
// `requests` lists the paths asked for, in order; `audioBytes` counts what the server sent on
// /audio after the response head.
export async function startProxy(upstreamUrl) {
  const http = await import('node:http');
  const upstream = new URL(upstreamUrl);
  const streams = new Set();
  const proxy = { audio: null, audioRequests: 0, requests: [], audioBytes: 0 };
  const server = http.createServer((req, res) => {
    proxy.requests.push(new URL(req.url, 'http://proxy').pathname);
    if (req.url.startsWith('/audio')) {
      proxy.audioRequests++;
      if (proxy.audio) return proxy.audio(req, res);
    }
    const forward = http.request({ host: upstream.hostname, port: upstream.port, path: req.url, method: req.method, headers: req.headers }, (up) => {
      res.writeHead(up.statusCode, up.headers);
      up.pipe(res);
      if (req.url.startsWith('/audio')) {
        up.on('data', (data) => { proxy.audioBytes += data.length; });
        streams.add(up);
        up.on('close', () => { streams.delete(up); res.destroy(); });
      }
    });
    forward.on('error', () => res.destroy());
    res.on('close', () => forward.destroy());
    req.pipe(forward);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  proxy.port = server.address().port;
  proxy.url = `http://127.0.0.1:${proxy.port}`;
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
