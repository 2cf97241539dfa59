// The listener page on the engine under test, opened from a plain-http host name as a venue's
// phones open it: its states, sound proven by recording what the browser played, captions,
// captions only, caption text size, and no serious accessibility violations in its main states.
import { test, before, after, beforeEach, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import net from 'node:net';
import { openBrowser, startFixture, startProxy, pageUrl, engine, artifacts, sleep, toneSeconds, accessibilityViolations } from './support.mjs';

let browser, fixture, proxy, page;
before(async () => {
  browser = await openBrowser();
  fixture = await startFixture(['speechRecognitionEnabled=true']);
  proxy = await startProxy(fixture.url);
});
after(async () => {
  await browser?.close();
  await proxy?.close();
  await fixture?.stop();
});
beforeEach(async () => { page = await browser.newPage(); });
afterEach(async () => { await page?.close(); });

const url = () => pageUrl(proxy.port);
const shown = () => page.evaluate(() => [document.getElementById('status').textContent, document.getElementById('toggleBtn').textContent,
  document.getElementById('toggleBtn').style.display]);
const noViolations = async (state) => assert.deepEqual(await accessibilityViolations(page), [], `accessibility, ${state}`);
// Screenshots for the README come from Chromium's phone-sized pages.
const screenshot = async (name) => { if (engine === 'chromium') await page.screenshot(join(artifacts, name), { fullPage: true }); };
const captionsOpen = () => page.waitFor(() => document.getElementById('transcriptionContainer').style.display === 'block');

test('from a plain-http address: waiting, available, a tone heard, captions, full screen, stopped', async () => {
  await page.open(url());
  assert.equal(await page.evaluate(() => isSecureContext), false);
  await page.waitFor(() => document.getElementById('status').textContent === 'Waiting for stream...');
  await captionsOpen();
  assert.deepEqual(await shown(), ['Waiting for stream...', 'Start Listening', 'none']);
  await noViolations('waiting');
  await screenshot('listener-waiting.png');

  await fixture.send('streaming on');
  await fixture.send('tone 48000 1 60 512');
  await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, 5000);
  assert.equal((await shown())[0], 'Stream available - tap button to listen');
  const recording = await browser.sound.startRecording();
  await page.click('#toggleBtn');
  await page.waitFor(() => listenerStats.state === 'playing' && parseFloat(document.getElementById('levelBar').style.width) > 50, null, 10000);
  assert.deepEqual(await page.evaluate(() => [listenerStats.codec, listenerStats.decoder]), ['opus', 'wasm'], 'the default stream');
  await sleep(2000);
  const heard = toneSeconds(await recording.stop(), 440);
  assert.ok(heard >= 1.2, `the 440 Hz tone was heard for ${heard} s of the last 2`);
  assert.deepEqual(await shown(), ['Connected - Listening', 'Stop Listening', 'block']);

  await fixture.send("final Welcome, everyone, to this morning's service.");
  await fixture.send('final Please turn with me to John 3:16.');
  await fixture.send('partial Please turn with me to John 3:16. For God so loved');
  await page.waitFor(() => captions.history.currentPartialLine !== null);
  await noViolations('playing with captions');
  await screenshot('listener-playing.png');

  await page.click('#transcriptionBox');
  await page.waitFor(() => document.getElementById('fullscreenOverlay').style.display === 'flex');
  assert.equal(await page.evaluate(() => document.querySelector('#fullscreenScroller .final').textContent), "Welcome, everyone, to this morning's service.");
  await noViolations('full screen');
  await page.press('Escape');
  await page.waitFor(() => document.getElementById('fullscreenOverlay').style.display === 'none');

  await page.click('#toggleBtn');
  await page.waitFor(() => !listener.isPlaying && listener.audioContext === null);
  assert.deepEqual(await shown(), ['Stream available - tap button to listen', 'Start Listening', 'block']);
  assert.equal(await page.evaluate(() => document.getElementById('levelBar').style.width), '0%');
  await fixture.send('streaming off');
  await page.waitFor(() => document.getElementById('status').textContent === 'Waiting for stream...', null, 5000);
});

test('captions only: the event stream alone, counted as a listener; audio stops; pressed again, the stream is offered', async () => {
  await fixture.send('streaming on');
  await page.open(url());
  await captionsOpen();
  await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, 5000);
  await page.click('#toggleBtn');
  await page.waitFor(() => listenerStats.state === 'playing', null, 10000);

  await page.click('#captionsOnlyBtn');
  await page.waitFor(() => document.getElementById('status').textContent === 'Captions only - no sound');
  assert.deepEqual(await page.evaluate(() => [listener.isPlaying, listener.currentReader, document.getElementById('captionsOnlyBtn').getAttribute('aria-pressed')]),
    [false, null, 'true']);
  const asked = proxy.requests.length;
  await sleep(2500);  // longer than the status poll's period
  assert.deepEqual(proxy.requests.slice(asked), [], 'nothing asked for beyond the open event stream');
  await fixture.send('final Only the words, and no sound.');
  await page.waitFor(() => captions.history.transcriptionLines.length === 1);
  assert.equal(await fixture.count(), 1);
  await noViolations('captions only');
  await screenshot('listener-captions-only.png');

  await page.click('#captionsOnlyBtn');
  await page.waitFor(() => document.getElementById('status').textContent === 'Stream available - tap button to listen', null, 5000);
  assert.equal(await page.evaluate(() => document.getElementById('captionsOnlyBtn').getAttribute('aria-pressed')), 'false');
  await page.close();
  page = null;
  for (let i = 0; i < 40 && await fixture.count() !== 0; i++) await sleep(100);
  assert.equal(await fixture.count(), 0, 'the listener left when its page closed');
});

test('caption text size: steps up to 40 px, remembered, readable at phone width, followed by full screen', async () => {
  // A stored size that is not one of the steps gives the default.
  await page.open(url(), { 'lumeno.captionSize': '41' });
  await captionsOpen();
  await fixture.send('final Grace to you from the Thessalonians and from Macedonia, unbreakably.');
  await page.waitFor(() => captions.history.transcriptionLines.length === 1);
  const size = (selector) => page.evaluate((s) => getComputedStyle(document.querySelector(s)).fontSize, selector);
  assert.equal(await size('#transcriptionScroller .final'), '16px');
  const smaller = '#transcriptionContainer [data-caption-size="-1"]';
  const larger = '#transcriptionContainer [data-caption-size="1"]';
  assert.equal(await page.evaluate((s) => document.querySelector(s).disabled, smaller), true);
  const steps = [];
  for (let i = 0; i < 4; i++) {
    await page.click(larger);
    steps.push(await size('#transcriptionScroller .final'));
  }
  assert.deepEqual(steps, ['20px', '24px', '32px', '40px']);
  assert.equal(await page.evaluate((s) => document.querySelector(s).disabled, larger), true);
  assert.deepEqual(await page.evaluate(() => {
    const box = document.getElementById('transcriptionBox');
    return [box.scrollWidth <= box.clientWidth, window.innerWidth <= 450, document.documentElement.scrollWidth <= window.innerWidth];
  }), [true, true, true], 'no line runs out of the box or the screen');
  await screenshot('listener-large-text.png');

  await page.click('#transcriptionBox');
  await page.waitFor(() => document.getElementById('fullscreenOverlay').style.display === 'flex');
  assert.equal(await size('#fullscreenScroller .final'), '40px');
  await noViolations('largest text, full screen');
  await page.press('Escape');

  await page.open(url());
  await captionsOpen();
  assert.equal(await page.evaluate(() => getComputedStyle(document.documentElement).getPropertyValue('--caption-size').trim()), '40px');
});

test('caption text is shown as text; a dropped event stream comes back by itself', async () => {
  // Serve the page through a proxy that can cut every connection, as a network drop would.
  const sockets = new Set();
  const cutter = net.createServer((client) => {
    const upstream = net.connect(fixture.port, '127.0.0.1');
    client.pipe(upstream).pipe(client);
    const pair = [client, upstream];
    sockets.add(pair);
    for (const socket of pair) socket.on('error', () => {}).on('close', () => { client.destroy(); upstream.destroy(); sockets.delete(pair); });
  });
  await new Promise((resolve) => cutter.listen(0, '127.0.0.1', resolve));
  try {
    await page.open(pageUrl(cutter.address().port));
    await captionsOpen();
    const hostile = '<img src=x onerror="window.hacked=1"> & "quotes" 🙏 <script>window.hacked=2</script>';
    await fixture.send(`final ${hostile}`);
    await page.waitFor(() => captions.history.transcriptionLines.length === 1);
    assert.deepEqual(await page.evaluate(() => [document.querySelector('#transcriptionScroller .final').textContent,
      window.hacked === undefined, document.querySelector('#transcriptionScroller img') === null]), [hostile, true, true]);

    const registered = () => fixture.lines.filter((l) => l.startsWith('🎤 Added transcription connection')).length;
    const before = registered();
    for (const pair of sockets) for (const socket of pair) socket.destroy();
    for (let i = 0; i < 150 && registered() === before; i++) await sleep(100);
    assert.ok(registered() > before, 'the browser opened a new event stream');
    await fixture.send('final after reconnect');
    await page.waitFor(() => captions.history.transcriptionLines.some((l) => l.text === 'after reconnect'));
  } finally {
    cutter.close();
    for (const pair of sockets) for (const socket of pair) socket.destroy();
  }
});
