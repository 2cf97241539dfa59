// The listener page served by the real lumeno binary, and the browser's own Opus decoder, which
// Chromium offers only to secure pages (so only from 127.0.0.1 here). Chromium only: what these
// prove does not depend on the engine, or needs Chromium's decoder.
import { test, before, after, beforeEach, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { openBrowser, startLumeno, startFixture, startProxy, pageUrl, artifacts, sleep } from './support.mjs';

let browser, page;
before(async () => { browser = await openBrowser(); });
after(async () => { await browser?.close(); });
beforeEach(async () => { page = await browser.newPage(); });
afterEach(async () => { await page?.close(); });

const silentPulse = { PULSE_SERVER: 'unix:/nonexistent/lumeno-test' };

async function tapWhenAvailable(timeoutMs = 10000) {
  await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, timeoutMs);
  await page.click('#toggleBtn');
}

// Two seconds of a 330 Hz tone, 16-bit stereo at 32000 Hz: a rate no audio context starts with.
function writeToneWav(path, rate = 32000, channels = 2, seconds = 2) {
  const frames = rate * seconds;
  const data = Buffer.alloc(frames * channels * 2);
  for (let i = 0; i < frames; i++) {
    const sample = Math.round(12000 * Math.sin((2 * Math.PI * 330 * i) / rate));
    for (let c = 0; c < channels; c++) data.writeInt16LE(sample, (i * channels + c) * 2);
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(channels, 22);
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * channels * 2, 28);
  header.writeUInt16LE(channels * 2, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  writeFileSync(path, Buffer.concat([header, data]));
}

test('Full quality plays the operator\'s input at its own rate until the service stops', async () => {
  const wav = join(artifacts, 'tone-32000-stereo.wav');
  writeToneWav(wav);
  const lumeno = await startLumeno(['--input-file', wav, '--set', 'isStreaming=true'], silentPulse);
  try {
    await page.open(pageUrl(lumeno.port), { 'lumeno.fullQuality': 'true' });
    // Streaming is restored one second after start: the page moves from waiting to available.
    await tapWhenAvailable();
    await page.waitFor(() => listener.isPlaying && listener.audioContext && listener.audioContext.state === 'running');
    assert.equal(await page.evaluate(() => listener.audioContext.sampleRate), 32000);
    await page.waitFor(() => parseFloat(document.getElementById('levelBar').style.width) > 20);
    await lumeno.stop('SIGTERM');
    await page.waitFor(() => document.getElementById('status').textContent === 'Reconnecting...');
  } finally {
    await lumeno.stop();
  }
});

test('Lumeno\'s speech on the default stream: it plays, and 10 s cost under 60 kB on the air', async () => {
  // The built-in recording is speech, what the stream is tuned for (a steady loud tone costs more).
  const lumeno = await startLumeno(['--demo'], silentPulse);
  const proxy = await startProxy(lumeno.url);
  try {
    await page.open(pageUrl(proxy.port));
    await tapWhenAvailable();
    await page.waitFor(() => listenerStats.state === 'playing' && listenerStats.codec === 'opus' && listenerStats.decoder === 'wasm', null, 10000);
    const before = proxy.audioBytes;
    await sleep(10000);
    const bytes = proxy.audioBytes - before;
    assert.ok(bytes > 20000 && bytes < 60000, `${bytes} bytes in 10 s`);
    assert.deepEqual(await page.evaluate(() => [listenerStats.state, listenerStats.underruns <= 3]), ['playing', true]);
  } finally {
    await proxy.close();
    await lumeno.stop();
  }
});

test('the browser\'s own decoder where the bundled one cannot run; a visit that died trying it skips it', async () => {
  const fixture = await startFixture();
  try {
    await fixture.send('streaming on');
    await fixture.send('tone 48000 1 30 960');
    const withoutWebAssembly = () => { delete window.WebAssembly; };
    const secure = pageUrl(fixture.port, '/listen', '127.0.0.1');
    await page.open(secure);
    await page.evaluate(withoutWebAssembly);
    await tapWhenAvailable();
    await page.waitFor(() => listenerStats.state === 'playing' && listenerStats.decoder === 'webcodecs', null, 10000);
    await page.waitFor(() => localStorage.getItem('lumeno.webCodecsTrial') === 'works', null, 5000);

    // A trial that never finished: that visit died in it.
    await page.close();
    page = await browser.newPage();
    await page.open(secure, { 'lumeno.webCodecsTrial': 'started' });
    await page.evaluate(withoutWebAssembly);
    await tapWhenAvailable();
    await page.waitFor(() => listenerStats.state === 'playing' && listenerStats.codec === 'pcm', null, 10000);
  } finally {
    await fixture.stop();
  }
});
