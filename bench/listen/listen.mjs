// Mic-to-ear delay of the listener page, measured end to end: a private PulseAudio daemon with a
// pipe source ("mic") and a null sink ("ear"), the real lumeno binary capturing the mic, a browser
// playing the listener page into the sink, and bursts timed on one clock by the meter (see
// meter.mjs for what the difference does and does not include).
//
//   node listen.mjs [--engine chromium|firefox|webkit] [--origin local|lan] [--codec opus|pcm]
//                   [--mode live|background] [--network loopback|wifi] [--quick] [--steady]
//                   [--calibrate]
//
// Prints one line on stdout (with --network wifi, one per mode); what happened, burst by burst, on
// stderr. --engine picks the browser (default chromium); --origin lan opens the page from a host
// name that only the browser resolves to loopback, a plain-http origin as a venue's phones get it,
// instead of 127.0.0.1 (a secure context, with APIs a venue's phones do not have). --mode
// background measures the page's "Keep playing when the screen locks" mode (the MP3 stream through
// a media element) instead of live mode. --network wifi puts the Wi-Fi profile of wifi.mjs
// between the browser and Lumeno and measures a minute of each mode (or of the one --mode names)
// on it. --quick shortens the two-minute runs to twenty seconds and the Wi-Fi minute to thirty.
// --calibrate measures PulseAudio's own loopback module instead of Lumeno, as a check of the
// method: its delay should come out near the latency it reports.
import { spawn, fork, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, mkdirSync } from 'node:fs';
import { createServer, connect } from 'node:net';
import { tmpdir, loadavg, cpus } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { pairBursts } from './signal.mjs';
import { startWifiLink, kStallMs } from './wifi.mjs';
import { launchEngine, pageUrl, lanHost } from '../../tests/e2e/browser/engines.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const root = join(here, '..', '..');
const args = process.argv.slice(2);
const option = (name, fallback, allowed) => {
  const value = args.includes(name) ? args[args.indexOf(name) + 1] : fallback;
  if (!allowed.includes(value)) {
    console.error(`listen: ${name} takes one of ${allowed.join(', ')}`);
    process.exit(2);
  }
  return value;
};
const engine = option('--engine', 'chromium', ['chromium', 'firefox', 'webkit']);
const origin = option('--origin', 'local', ['local', 'lan']);
const quick = args.includes('--quick');
const calibrate = args.includes('--calibrate');
// The stream the page takes: its default (the compressed one) or, with --codec pcm, the raw one
// its "Full quality" switch asks for.
const codec = option('--codec', 'opus', ['opus', 'pcm']);
const modeGiven = args.includes('--mode');
const mode = option('--mode', 'live', ['live', 'background']);
const network = option('--network', 'loopback', ['loopback', 'wifi']);
// Only the steady sessions: for comparing settings quickly.
const steadyOnly = args.includes('--steady');
// Settings for Lumeno, `--set KEY=VALUE` as many times as wanted (e.g. mp3Bitrate=128).
const settings = args.flatMap((arg, i) => (arg === '--set' && args[i + 1] ? ['--set', args[i + 1]] : []));
const lumenoBinary = process.env.LUMENO_BINARY || join(root, 'build', 'lumeno');
const longSeconds = quick ? 20 : 120;
const wifiSeconds = quick ? 30 : 60;

const now = () => Number(process.hrtime.bigint()) / 1e6;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const log = (...parts) => console.error('listen:', ...parts);
const round = (x) => (x === null ? 'none' : String(Math.round(x)));

const dir = mkdtempSync(join(tmpdir(), 'lumeno-listen-'));
const pulseServer = `unix:${join(dir, 'native')}`;
const children = new Set();
let browser = null;

// Every step is bounded; this catches whatever a step's own bound missed.
const watchdog = setTimeout(() => fail(new Error('the benchmark took too long')), (calibrate ? 2 : quick ? 6 : 12) * 60000);

function start(command, argv, env = {}) {
  const child = spawn(command, argv, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
  child.lines = [];
  const collect = (stream) => {
    let partial = '';
    stream.setEncoding('utf8');
    stream.on('data', (data) => {
      partial += data;
      const lines = partial.split('\n');
      partial = lines.pop();
      child.lines.push(...lines);
    });
  };
  collect(child.stdout);
  collect(child.stderr);
  child.done = new Promise((resolve) => child.on('exit', (code, signal) => resolve(code ?? signal)));
  child.on('error', (error) => fail(new Error(`${command}: ${error.message}`)));
  children.add(child);
  child.done.then(() => children.delete(child));
  return child;
}

async function stop(child, timeoutMs = 10000) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  child.kill('SIGTERM');
  const finished = await Promise.race([child.done.then(() => true), sleep(timeoutMs).then(() => false)]);
  if (!finished) {
    child.kill('SIGKILL');
    await child.done;
  }
}

async function waitFor(what, test, timeoutMs, everyMs = 50) {
  const deadline = now() + timeoutMs;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (now() > deadline) throw new Error(`${what} within ${timeoutMs} ms`);
    await sleep(everyMs);
  }
}

function pactl(...argv) {
  return execFileSync('pactl', argv, { env: { ...process.env, PULSE_SERVER: pulseServer }, timeout: 10000, encoding: 'utf8',
    stdio: ['ignore', 'pipe', 'ignore'] });
}

async function startPulse() {
  const fifo = join(dir, 'mic.fifo');
  const daemon = start('pulseaudio', [
    '--daemonize=no', '--exit-idle-time=-1', '-n', '--use-pid-file=no',
    `--load=module-native-protocol-unix auth-anonymous=1 socket=${join(dir, 'native')}`,
    `--load=module-pipe-source source_name=mic file=${fifo} format=s16le rate=48000 channels=1`,
    '--load=module-null-sink sink_name=ear rate=48000',
  ], { HOME: dir, XDG_RUNTIME_DIR: dir });
  await waitFor('PulseAudio with its mic and ear', () => {
    try {
      const sources = pactl('list', 'short', 'sources');
      return /\tmic\t/.test(sources) && /\tear\.monitor\t/.test(sources);
    } catch {
      return false;
    }
  }, 10000, 100);
  // Lumeno records the default source; with only a monitor besides, make sure it is the mic.
  pactl('set-default-source', 'mic');
  return { daemon, fifo };
}

// Bursts and dropouts found by the meter, on the shared monotonic clock.
const written = [];
const heard = [];
const dropouts = [];

function startMeter(fifo) {
  const meter = fork(join(here, 'meter.mjs'), [fifo], { env: { ...process.env, PULSE_SERVER: pulseServer }, stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
  meter.done = new Promise((resolve) => meter.on('exit', resolve));
  children.add(meter);
  meter.on('message', (m) => {
    if (m.exited !== undefined) log(`the ${m.stream} recorder exited (${m.exited})`);
    else if (m.stats) log('meter', JSON.stringify(m.stats));
    else if (m.dropout) dropouts.push(m.t);
    else (m.stream === 'mic' ? written : heard).push(m);
  });
  return meter;
}

function pairsHeard(fromMs, toMs = Infinity) {
  return pairBursts(written, heard.filter((h) => h.t > fromMs && h.t <= toMs));
}

// The first burst heard after `fromMs` that was also written after `writtenAfterMs`.
async function nextSound(fromMs, timeoutMs, writtenAfterMs = -Infinity) {
  return waitFor('sound', () => pairsHeard(fromMs).find((p) => p.writtenMs > writtenAfterMs), timeoutMs, 20);
}

function quantile(values, q) {
  if (values.length === 0) return null;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

function median(values) {
  return quantile(values, 0.5);
}

function delaysIn(fromMs, toMs) {
  return pairsHeard(fromMs, toMs).map((p) => p.delayMs);
}

function dropoutsIn(fromMs, toMs) {
  return dropouts.filter((t) => t > fromMs && t <= toMs).length;
}

function show(label, delays) {
  log(`${label} (${delays.length} bursts, ms):`, delays.map((d) => d.toFixed(1)).join(' '));
}

async function freePort() {
  return new Promise((resolve) => {
    const server = createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

async function startLumeno(port) {
  const app = start(lumenoBinary, ['--headless', '--bind', '127.0.0.1', '--port', String(port), '--config-dir', join(dir, 'config'),
    '--transcript-dir', join(dir, 'transcripts'), '--set', 'isStreaming=true', ...settings],
  { PULSE_SERVER: pulseServer, XDG_CONFIG_HOME: join(dir, 'xdg-config'), XDG_DATA_HOME: join(dir, 'xdg-data') });
  await waitFor(`"Server ready on port ${port}"`, () => app.lines.includes(`Server ready on port ${port}`) || app.exitCode !== null, 15000);
  if (app.exitCode !== null) throw new Error(`lumeno exited (${app.exitCode}):\n${app.lines.slice(-20).join('\n')}`);
  await waitFor('Lumeno streaming', async () => {
    try {
      const response = await fetch(`http://127.0.0.1:${port}/status`, { signal: AbortSignal.timeout(2000) });
      return (await response.json()).status === 'streaming';
    } catch {
      return false;
    }
  }, 15000, 100);
  return app;
}

// A loopback proxy in front of Lumeno that can stop passing the server's bytes of /audio
// connections on, as a stalled network would: it stops reading, so the backlog builds up in the
// kernel's buffers and Lumeno's queue, not here.
async function startProxy(targetPort) {
  const audio = new Set();
  let stalled = false;
  const server = createServer((client) => {
    const upstream = connect(targetPort, '127.0.0.1');
    // Small pages must pass as they come: with Nagle's algorithm they wait for the last one's
    // acknowledgement, which a delayed ACK holds back 40 ms.
    client.setNoDelay(true);
    upstream.setNoDelay(true);
    client.on('data', (data) => {
      if (!audio.has(upstream) && data.toString('latin1').includes('GET /audio')) {
        audio.add(upstream);
        if (stalled) upstream.pause();
      }
      upstream.write(data);
    });
    upstream.on('data', (data) => client.write(data));
    const close = () => {
      audio.delete(upstream);
      client.destroy();
      upstream.destroy();
    };
    client.on('close', close);
    upstream.on('close', close);
    client.on('error', close);
    upstream.on('error', close);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    stall(on) {
      stalled = on;
      for (const upstream of audio) on ? upstream.pause() : upstream.resume();
    },
    close: () => server.close(),
  };
}

// What the page's own figures say, next to what was measured: its target and lead, how often it
// ran dry, and the browser's own output latency.
async function playbackState(page) {
  return page.evaluate(() => {
    const s = window.listenerStats;
    const context = typeof listener === 'undefined' ? null : listener.audioContext;
    const ms = (seconds) => (seconds === undefined ? '?' : (seconds * 1000).toFixed(1));
    if (!s) return 'no listenerStats';
    return `codec ${s.codec} decoder ${s.decoder} target ${s.targetMs.toFixed(0)} ms, lead ${s.leadMs.toFixed(1)} ms, ` +
      `ahead now ${s.aheadMs.toFixed(1)} ms, underruns ${s.underruns}, ` +
      `skipped ${s.skippedMs.toFixed(0)} ms, rate ${s.playbackRate.toFixed(4)}, output latency ` +
      `${context ? ms(context.baseLatency) + ' + ' + ms(context.outputLatency) : '?'} ms`;
  }).then((text) => `${text}; the sound server holds ${soundServerLatency()}`).catch(() => '(page gone)');
}

// What PulseAudio holds of the browser's stream: its buffer plus the sink's.
function soundServerLatency() {
  try {
    const inputs = pactl('list', 'sink-inputs');
    const ms = (name) => [...inputs.matchAll(new RegExp(`${name} Latency: (\\d+) usec`, 'g'))].map((m) => (Number(m[1]) / 1000).toFixed(1));
    return `buffer ${ms('Buffer').join('/') || '?'} + sink ${ms('Sink').join('/') || '?'} ms`;
  } catch {
    return '?';
  }
}

async function statusText(page) {
  return page.evaluate(() => `${document.getElementById('status').textContent} / ${document.getElementById('toggleBtn').textContent}`)
    .catch(() => '(page gone)');
}

// What the page is told on the phone to take each stream the benchmark can measure.
const kStreamSettings = {
  opus: { 'lumeno.fullQuality': 'false', 'lumeno.background': 'false' },
  pcm: { 'lumeno.fullQuality': 'true', 'lumeno.background': 'false' },
  background: { 'lumeno.background': 'true' },
};
const defaultStream = mode === 'background' ? 'background' : codec;

// Opens the page, taps "Start Listening" and waits for the first burst to come through (a media
// element takes seconds to start, and plays seconds late).
async function listen(port, stream = defaultStream) {
  const page = await browser.newPage();
  await page.open(pageUrl(port, '/listen', origin === 'lan' ? lanHost : '127.0.0.1'), kStreamSettings[stream]);
  await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, 15000);
  const tapped = now();
  await page.click('#toggleBtn');
  const first = await nextSound(tapped, 30000).catch(async (error) => {
    throw new Error(`${error.message}; page: ${await statusText(page)}; ${await playbackState(page)}`);
  });
  log(`first sound ${((first.heardMs - tapped) / 1000).toFixed(2)} s after the tap, ${first.delayMs.toFixed(1)} ms late`);
  return page;
}

// Listening settles for a few seconds before anything is counted.
const kSettleMs = 3000;

// The page keeps the delay it started with, which depends on where in a capture block the tap
// fell: one session is one draw, so the figure pools several.
const kSteadySessions = 4;
const kBurstsPerSession = 8;

async function steady(port) {
  const delays = [];
  for (let session = 1; session <= kSteadySessions; session++) {
    const page = await listen(port);
    await sleep(kSettleMs);
    const from = now();
    await waitFor(`${kBurstsPerSession} bursts heard`, () => delaysIn(from, Infinity).length >= kBurstsPerSession, 15000, 100);
    const mine = delaysIn(from, Infinity).slice(0, kBurstsPerSession);
    const playback = await playbackState(page);
    await page.close();
    show(`steady, session ${session}`, mine);
    log(`  page: ${playback}`);
    delays.push(...mine);
  }
  return { p50: median(delays), p90: quantile(delays, 0.9) };
}

async function stall(port) {
  const proxy = await startProxy(port);
  const page = await listen(proxy.port);
  await sleep(kSettleMs);
  const before = now();
  await sleep(4000);
  const beforeDelays = delaysIn(before, now());
  proxy.stall(true);
  await sleep(1500);
  log('page 1.5 s into the stall:', await statusText(page));
  await sleep(500);
  proxy.stall(false);
  const resumed = now();
  await sleep(11000);
  const after = delaysIn(resumed + 9000, resumed + 11000);
  await page.close();
  proxy.close();
  show('before the stall', beforeDelays);
  show('first 9 s after the stall', delaysIn(resumed, resumed + 9000));
  show('10 s after the stall', after);
  log(`stall: ${round(median(beforeDelays))} ms before, ${round(median(after))} ms 10 s after`);
  return median(after);
}

// Steady play for two minutes: the delay must not creep up (a clock the page misreads, or a
// trim that pushes the wrong way, shows here as growth).
async function growth(port) {
  const page = await listen(port);
  await sleep(kSettleMs);
  const from = now();
  await sleep(longSeconds * 1000);
  const startDelays = delaysIn(from, from + 10000);
  const endDelays = delaysIn(from + (longSeconds - 10) * 1000, from + longSeconds * 1000);
  const playback = await playbackState(page);
  await page.close();
  show('steady play, first 10 s', startDelays);
  show(`steady play, last 10 s of ${longSeconds} s`, endDelays);
  log(`  page: ${playback}`);
  return { grown: median(endDelays) - median(startDelays), perMinute: dropoutsIn(from, from + longSeconds * 1000) / (longSeconds / 60) };
}

// A minute of play through the Wi-Fi profile: delay, dropouts, and where each stall leaves the
// listener (the bursts heard 3 to 4 s after it ended).
async function wifi(port, stream) {
  const link = await startWifiLink(port, now);
  const page = await listen(link.port, stream);
  await sleep(kSettleMs);
  const from = now();
  await sleep(wifiSeconds * 1000 + 4500);
  const to = from + wifiSeconds * 1000;
  const playback = await playbackState(page);
  await page.close();
  link.close();
  const delays = delaysIn(from, to);
  const stalls = link.stallEnds(from, to);
  const perStall = stalls.map((end) => dropoutsIn(end - kStallMs - 100, end + 600));
  const afterStall = stalls.map((end) => median(delaysIn(end + 3000, end + 4000)));
  show(`wifi, ${stream}`, delays);
  log(`  dropouts at ${dropouts.filter((t) => t > from && t <= to).map((t) => ((t - from) / 1000).toFixed(1)).join(' ')} s; ` +
    `stalls ended at ${stalls.map((t) => ((t - from) / 1000).toFixed(1)).join(' ')} s; dropouts per stall ${perStall.join(' ')}; ` +
    `3 s after each stall ${afterStall.map(round).join(' ')} ms`);
  log(`  page: ${playback}`);
  return {
    p50: median(delays), p90: quantile(delays, 0.9), perMinute: dropoutsIn(from, to) / (wifiSeconds / 60),
    perStall: Math.max(...perStall), afterStall: Math.max(...afterStall.filter((d) => d !== null)),
  };
}

async function drift(port, meter) {
  const page = await listen(port);
  await sleep(kSettleMs);
  const before = now();
  await sleep(4000);
  const startDelays = delaysIn(before, now());
  meter.send({ rate: 1.005 });
  const fast = now();
  await sleep(longSeconds * 1000);
  const endDelays = delaysIn(fast + (longSeconds - 4) * 1000, fast + longSeconds * 1000);
  meter.send({ rate: 1 });
  await page.close();
  show('drift, start', startDelays);
  show(`drift, every 10 s of ${longSeconds} s fast`, pairsHeard(fast, now()).filter((_, i) => i % 20 === 0).map((p) => p.delayMs));
  show('drift, end', endDelays);
  log(`drift: ${round(median(startDelays))} ms at the start, ${round(median(endDelays))} ms after ${longSeconds} s of a 0.5 % fast source`);
  return median(endDelays);
}

async function reconnect(port, app) {
  const page = await listen(port);
  await sleep(kSettleMs);
  const killed = now();
  await stop(app);
  log(`lumeno stopped in ${((now() - killed) / 1000).toFixed(2)} s; page:`, await statusText(page));
  const restarted = await startLumeno(port);
  log(`lumeno streaming again ${((now() - killed) / 1000).toFixed(2)} s after the stop; page:`, await statusText(page));
  let seconds = null;
  try {
    const again = await nextSound(killed, Math.max(1000, killed + 30000 - now()), killed);
    seconds = (again.heardMs - killed) / 1000;
  } catch {
    log('no sound within 30 s of the restart; page:', await statusText(page));
  }
  await page.close();
  return { seconds, app: restarted };
}

// The loopback module keeps steering its delay, so the check compares the last bursts with what
// PulseAudio reports at that moment: the loopback's buffer plus the sink's latency (the pipe
// source reports none).
async function runCalibration() {
  pactl('load-module', 'module-loopback', 'source=mic', 'sink=ear', 'latency_msec=100');
  await sleep(10000);
  const latencies = pactl('list', 'sink-inputs');
  const reportedMs = [...latencies.matchAll(/(?:Buffer|Sink) Latency: (\d+) usec/g)].reduce((sum, m) => sum + Number(m[1]) / 1000, 0);
  const end = now();
  const delays = delaysIn(end - 1600, end);
  show('loopback, whole run', delaysIn(end - 10000, end));
  console.log(`listen calibrate loopback_reported_ms=${reportedMs.toFixed(1)} measured_ms=${median(delays)?.toFixed(1) ?? 'none'}`);
}

async function main() {
  // A starved browser misses its deadlines and today's page then plays later for good: a busy
  // machine shows up as larger delays, so say how busy it was.
  const load = loadavg();
  log(`load average ${load.map((x) => x.toFixed(1)).join(' ')} on ${cpus().length} cores`);
  if (load[0] > cpus().length) log('warning: the machine is busier than its cores: the figures will be worse than the code');
  const { fifo } = await startPulse();
  const meter = startMeter(fifo);
  await waitFor('the written bursts to reach the mic recorder', () => written.length >= 2, 10000);
  if (calibrate) return runCalibration();

  const port = await freePort();
  let app = await startLumeno(port);
  browser = await launchEngine(engine, { pulseServer });
  const probe = await browser.newPage();
  await probe.open(pageUrl(port, '/listen', origin === 'lan' ? lanHost : '127.0.0.1'));
  log(`${engine} from ${origin === 'lan' ? lanHost : '127.0.0.1'}:`, JSON.stringify(await probe.evaluate(() => ({
    secureContext: isSecureContext, webCodecs: typeof AudioDecoder === 'function', webAssembly: typeof WebAssembly === 'object' }))));
  await probe.close();
  if (network === 'wifi') {
    for (const stream of modeGiven ? [defaultStream] : [codec, 'background']) {
      const r = await wifi(port, stream);
      console.log(`listen engine=${engine} origin=${origin} network=wifi mode=${stream === 'background' ? 'background' : `live codec=${stream}`} ` +
        `mic_to_ear_ms_p50=${round(r.p50)} p90=${round(r.p90)} dropouts_per_min=${r.perMinute.toFixed(1)} ` +
        `dropouts_per_stall_max=${r.perStall} after_stall_3s_ms_max=${round(r.afterStall)} (delay 3 s after a 300 ms stall, the worst of ${wifiSeconds / 10})`);
    }
    return;
  }
  const label = `listen engine=${engine} origin=${origin} ${mode === 'background' ? 'mode=background' : `mode=live codec=${codec}`}`;
  const { p50, p90 } = await steady(port);
  if (steadyOnly) {
    console.log(`${label} mic_to_ear_ms_p50=${round(p50)} p90=${round(p90)}`);
    return;
  }
  const { grown, perMinute } = await growth(port);
  const afterStall = await stall(port);
  const driftEnd = await drift(port, meter);
  const restart = await reconnect(port, app);
  app = restart.app;
  meter.send({ stats: true });
  await sleep(200);
  console.log(`${label} mic_to_ear_ms_p50=${round(p50)} p90=${round(p90)} ` +
    `growth_ms=${round(grown)} (change of the median delay over ${quick ? '20 s' : '2 min'} of steady play) ` +
    `dropouts_per_min=${perMinute.toFixed(1)} (in that steady play) ` +
    `after_stall_2s_ms=${round(afterStall)} (delay 10 s after a 2 s stall) ` +
    `drift_0_5pct_ms=${round(driftEnd)} (delay after ${quick ? '20 s' : '2 min'} of a 0.5 % fast source) ` +
    `reconnect_s=${restart.seconds === null ? 'none' : restart.seconds.toFixed(1)} (server restarted: seconds until sound again)`);
}

async function cleanup() {
  clearTimeout(watchdog);
  if (browser) await browser.close().catch(() => {});
  browser = null;
  for (const child of [...children].reverse()) {
    if (child.connected) {
      // The meter stops its recorders before the sound server goes, so they have nothing to say.
      child.send({ stop: true });
      await Promise.race([child.done, sleep(2000)]);
    }
    await stop(child, 5000);
  }
  rmSync(dir, { recursive: true, force: true });
}

let failing = false;
async function fail(error) {
  if (failing) return;
  failing = true;
  console.error('listen: failed:', error.message);
  await cleanup();
  process.exit(1);
}

process.on('SIGINT', () => fail(new Error('interrupted')));
process.on('SIGTERM', () => fail(new Error('terminated')));
// Last resort if cleanup itself is cut short: nothing started here outlives the benchmark.
process.on('exit', () => {
  for (const child of children) child.kill('SIGKILL');
});

mkdirSync(join(dir, 'config'), { recursive: true });
main().then(cleanup, fail);
