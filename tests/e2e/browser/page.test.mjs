// The listener page's status, playback and branding in a real browser.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { writeFileSync } from 'node:fs';
import { launchBrowser, startFixture, phone, artifacts, waitUntil } from './support.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

async function openPage(server) {
  const context = await browser.newContext(phone);
  const page = await context.newPage();
  await page.goto(server.url + '/listen');
  return { context, page };
}

const statusText = (page) => page.$eval('#status', (el) => el.textContent);

test('waiting, available, playing at the announced rate, stopped', async () => {
  const server = await startFixture(['speechRecognitionEnabled=true']);
  const { context, page } = await openPage(server);
  try {
    await waitUntil(page, () => document.getElementById('status').textContent === 'Waiting for stream...');
    assert.equal(await page.$eval('#toggleBtn', (el) => el.style.display), 'none');
    await page.screenshot({ path: join(artifacts, 'listener-waiting.png') });

    await server.send('streaming on');
    await waitUntil(page, () => document.getElementById('toggleBtn').style.display === 'block', 5000);
    assert.equal(await statusText(page), 'Stream available - tap button to listen');

    await server.send('tone 48000 2 20');
    await page.click('#toggleBtn');
    await waitUntil(page, () => listener.isPlaying && listener.audioContext && listener.audioContext.state === 'running');
    assert.equal(await page.evaluate(() => listener.audioContext.sampleRate), 48000);
    assert.equal(await statusText(page), 'Connected - Listening');
    assert.equal(await page.$eval('#toggleBtn', (el) => el.textContent + '|' + el.className), 'Stop Listening|stop');
    // A 440 Hz tone at half scale has an RMS near 0.35: the meter is pinned near the top.
    await waitUntil(page, () => parseFloat(document.getElementById('levelBar').style.width) > 50);
    await page.waitForTimeout(2500);  // a status poll while playing must change nothing
    assert.equal(await statusText(page), 'Connected - Listening');
    await server.send("final Welcome, everyone, to this morning's service.");
    await server.send('final Please turn with me to John 3:16.');
    await server.send('partial Please turn with me to John 3:16. For God so loved');
    await waitUntil(page, () => captions.history.currentPartialLine !== null);
    await page.screenshot({ path: join(artifacts, 'listener-playing.png'), fullPage: true });

    await page.click('#toggleBtn');
    await waitUntil(page, () => !listener.isPlaying && listener.audioContext === null);
    assert.equal(await page.$eval('#toggleBtn', (el) => el.textContent + '|' + el.className), 'Start Listening|');
    assert.equal(await page.$eval('#levelBar', (el) => el.style.width), '0%');
    await server.send('streaming off');
    await waitUntil(page, () => document.getElementById('status').textContent === 'Waiting for stream...', 5000);
  } finally {
    await context.close();
    await server.stop();
  }
});

test('decoding: stereo averaged to mono with divisor 32768, frames split across reads', async () => {
  const server = await startFixture();
  const { context, page } = await openPage(server);
  try {
    const result = await page.evaluate(() => {
      // Frames (16384, 0) and (-32768, -32768), delivered in pieces that split a sample.
      const bytes = new Uint8Array([0x00, 0x40, 0x00, 0x00, 0x00, 0x80, 0x00, 0x80]);
      const assemble = makeFrameAssembler(2);
      const decoded = [];
      for (const piece of [bytes.slice(0, 3), bytes.slice(3, 5), bytes.slice(5)]) {
        decoded.push(...decodeFrames(assemble(piece), 2));
      }
      const mono = decodeFrames(new Uint8Array([0xff, 0x3f]), 1)[0];
      return { decoded, mono };
    });
    assert.deepEqual(result.decoded, [0.25, -1]);
    assert.equal(result.mono, 16383 / 32768);
    const meter = await page.evaluate(() => {
      const widths = [];
      for (const rms of [0.1, 0.5]) {
        updateMeter(new Float32Array(64).fill(rms));
        widths.push(Math.round(parseFloat(document.getElementById('levelBar').style.width)));
      }
      return widths;
    });
    assert.deepEqual(meter, [30, 100]);
  } finally {
    await context.close();
    await server.stop();
  }
});

test('the branded page escapes its texts and shows the stored logo', async () => {
  const server = await startFixture([
    "customTitle=Tom & Jerry's <Show>",
    'customSubtitle=The "Big" Room',
  ]);
  const { context, page } = await openPage(server);
  try {
    assert.equal(await page.$eval('h1', (el) => el.textContent), "Tom & Jerry's <Show>");
    assert.equal(await page.title(), 'The "Big" Room');
    assert.equal(await page.$('#transcriptionContainer'), null, 'no caption block with speech off');
    assert.equal(await page.evaluate(() => transcriptionEnabled), false);
  } finally {
    await context.close();
    await server.stop();
  }

  const png = Buffer.from('89504e470d0a1a0a0000000d4948445200000001000000010806000000' +
    '1f15c4890000000d49444154789c6360f80f0000010101005f1d6c2b0000000049454e44ae426082', 'hex');
  const logoFile = join(artifacts, 'logo.png');
  writeFileSync(logoFile, png);
  const logoServer = await startFixture(['useCustomLogo=true', 'logoFileExtension=PNG', 'logoTimestamp=1733400000.75']);
  await logoServer.send('logo ' + logoFile);
  const branded = await openPage(logoServer);
  try {
    assert.equal(await branded.page.$eval('#logo', (el) => el.getAttribute('src')), '/logo?t=1733400000');
    await waitUntil(branded.page, () => document.getElementById('logo').complete);
    assert.equal(await branded.page.$eval('#logo', (el) => el.naturalWidth), 1, 'the logo decoded as an image');
  } finally {
    await branded.context.close();
    await logoServer.stop();
  }
});
