// The page on the compressed stream: the browser's own decoder, the bundled WebAssembly one where
// there is none, the "Full quality" switch back to raw audio, and what it costs on the air.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startFixture, startLumeno, phone, waitUntil } from './support.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function listen(server, { withoutWebCodecs = false } = {}) {
  const context = await browser.newContext(phone);
  if (withoutWebCodecs) await context.addInitScript(() => { delete window.AudioDecoder; delete window.EncodedAudioChunk; });
  const page = await context.newPage();
  // Bytes the page received for /audio, as the network counted them.
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  const audioRequests = new Set();
  page.audioBytes = 0;
  cdp.on('Network.requestWillBeSent', (event) => { if (new URL(event.request.url).pathname === '/audio') audioRequests.add(event.requestId); });
  cdp.on('Network.dataReceived', (event) => { if (audioRequests.has(event.requestId)) page.audioBytes += event.encodedDataLength || event.dataLength; });
  await page.goto(server.url + '/listen');
  await waitUntil(page, () => document.getElementById('toggleBtn').style.display === 'block', 5000);
  await page.click('#toggleBtn');
  return { context, page };
}

async function waitPlaying(page, codec, decoder) {
  await waitUntil(page, ([c, d]) => listenerStats.state === 'playing' && listenerStats.codec === c && listenerStats.decoder === d &&
    parseFloat(document.getElementById('levelBar').style.width) > 50, 10000, [codec, decoder]);
}

test('Lumeno\'s speech through the browser\'s decoder: it plays, and 10 s cost under 60 kB', async () => {
  // The built-in recording is speech, what the stream is tuned for (a steady loud tone costs more).
  const server = await startLumeno(['--demo'], { PULSE_SERVER: 'unix:/nonexistent/lumeno-test' });
  try {
    const { context, page } = await listen(server);
    await waitUntil(page, () => listenerStats.state === 'playing' && listenerStats.codec === 'opus' &&
      listenerStats.decoder === 'webcodecs', 10000);
    const before = page.audioBytes;
    await sleep(10000);
    const bytes = page.audioBytes - before;
    assert.ok(bytes > 20000 && bytes < 60000, `${bytes} bytes in 10 s`);
    assert.equal(await page.evaluate(() => listenerStats.state), 'playing');
    assert.ok(await page.evaluate(() => listenerStats.underruns) <= 3);
    assert.ok(await page.evaluate(() => parseFloat(document.getElementById('levelBar').style.width)) >= 0);
    await context.close();
  } finally {
    await server.stop();
  }
});

test('without WebCodecs the bundled decoder plays it; Full quality switches to raw and is remembered', async () => {
  const server = await startFixture();
  try {
    await server.send('streaming on');
    await server.send('tone 48000 1 40 960');
    const { context, page } = await listen(server, { withoutWebCodecs: true });
    await waitPlaying(page, 'opus', 'wasm');

    await page.click('#fullQuality');
    await waitPlaying(page, 'pcm', null);
    assert.equal(await page.evaluate(() => document.getElementById('status').textContent), 'Connected - Listening');

    await page.reload();
    assert.equal(await page.$eval('#fullQuality', (el) => el.checked), true);
    await waitUntil(page, () => document.getElementById('toggleBtn').style.display === 'block', 5000);
    await page.click('#toggleBtn');
    await waitPlaying(page, 'pcm', null);
    await page.click('#fullQuality');
    await waitPlaying(page, 'opus', 'wasm');
    await context.close();
  } finally {
    await server.stop();
  }
});
