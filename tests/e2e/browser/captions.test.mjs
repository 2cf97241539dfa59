// Caption behaviour of the listener page in a real browser, fed by the stdin-driven server.
import { test, before, after, beforeEach, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import net from 'node:net';
import { launchBrowser, startFixture, phone, artifacts, waitUntil } from './support.mjs';

let browser, fixture, context, page;

before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

beforeEach(async () => {
  fixture = await startFixture(['speechRecognitionEnabled=true']);
  context = await browser.newContext(phone);
  page = await context.newPage();
  await page.goto(fixture.url + '/listen');
  await waitUntil(page, () => document.getElementById('transcriptionContainer').style.display === 'block');
});

afterEach(async () => {
  await context?.close();
  await fixture?.stop();
});

const lines = () => page.$$eval('#transcriptionScroller .transcription-line:not(.partial)', (els) => els.map((e) => e.textContent));
const partial = () => page.$eval('#transcriptionScroller', (el) => el.querySelector('.partial')?.firstChild.textContent ?? null);

test('finals are added once and exact duplicates skipped', async () => {
  await fixture.send('final Hello world.');
  await waitUntil(page, () => captions.history.transcriptionLines.length === 1);
  await fixture.send('final Hello world.');
  await fixture.send('final Hello there.');
  await waitUntil(page, () => captions.history.transcriptionLines.length === 2);
  assert.deepEqual(await lines(), ['Hello world.', 'Hello there.']);
  assert.ok(await page.$('#transcriptionScroller .listening-marker'), 'the listening marker follows the finals');
});

test('a refined final takes the place of the final it refines', async () => {
  await fixture.send('final hello world is this on');
  await fixture.send('final Hello world, is this on?');
  await waitUntil(page, () => captions.history.transcriptionLines.length === 1 && captions.history.transcriptionLines[0].text.endsWith('?'));
  assert.deepEqual(await lines(), ['Hello world, is this on?']);

  // The next sentence may already be partly heard when the refinement arrives.
  await fixture.send('final amen');
  await fixture.send('partial and then');
  await fixture.send('final Amen.');
  await waitUntil(page, () => captions.history.transcriptionLines.length === 2 && captions.history.transcriptionLines[1].text === 'Amen.');
  assert.equal(await partial(), 'and then ');

  // Once refined, the same words again are a sentence of their own.
  await fixture.send('final amen');
  await fixture.send('final Amen.');
  await waitUntil(page, () => captions.history.transcriptionLines.length === 3 && captions.history.transcriptionLines[2].text === 'Amen.');
  assert.deepEqual(await lines(), ['Hello world, is this on?', 'Amen.', 'Amen.']);
});

test('a partial that extends the last final shows only its new part', async () => {
  await fixture.send('final Hello world.');
  await fixture.send('partial Hello world. How are');
  await waitUntil(page, () => captions.history.currentPartialLine && captions.history.currentPartialLine.text === 'How are');
  assert.equal(await partial(), 'How are ');
  await fixture.send('partial Hello world.');
  await waitUntil(page, () => captions.history.currentPartialLine === null);
  assert.deepEqual(await lines(), ['Hello world.']);
});

test('a partial becomes final after three seconds unless another update comes', async () => {
  await fixture.send('partial first words');
  await waitUntil(page, () => captions.history.currentPartialLine !== null);
  await page.waitForTimeout(2000);
  await fixture.send('partial first words and more');  // resets the timer
  await page.waitForTimeout(2000);
  assert.equal(await page.evaluate(() => captions.history.transcriptionLines.length), 0, 'the timer was reset');
  await waitUntil(page, () => captions.history.transcriptionLines.length === 1, 3000);
  assert.deepEqual(await lines(), ['first words and more']);
  assert.equal(await partial(), null);
});

test('empty text clears the partial and keeps the finals', async () => {
  await fixture.send('final kept');
  await fixture.send('partial going');
  await waitUntil(page, () => captions.history.currentPartialLine !== null);
  await fixture.send('partial    ');
  await waitUntil(page, () => captions.history.currentPartialLine === null);
  assert.deepEqual(await lines(), ['kept']);
});

test('at most one hundred final lines are kept and older ones fade', async () => {
  for (let i = 1; i <= 103; i++) await fixture.send(`final line ${i}`);
  await waitUntil(page, () => captions.history.transcriptionLines.length === 100 && captions.history.transcriptionLines[99].text === 'line 103');
  const shown = await lines();
  assert.equal(shown.length, 100);
  assert.equal(shown[0], 'line 4');

  await page.evaluate(() => { captions.history.transcriptionLines = []; });
  for (const text of ['a', 'b', 'c']) await fixture.send(`final ${text}`);
  await waitUntil(page, () => captions.history.transcriptionLines.length === 3);
  const opacities = await page.$$eval('#transcriptionScroller .transcription-line', (els) => els.map((e) => Number(e.style.opacity)));
  assert.deepEqual(opacities.map((o) => o.toFixed(3)), ['0.300', '0.533', '0.767']);
});

test('caption text is shown as text, never as markup', async () => {
  const hostile = '<img src=x onerror="window.hacked=1"> & "quotes" 🙏 <script>window.hacked=2</script>';
  await fixture.send(`final ${hostile}`);
  await waitUntil(page, () => captions.history.transcriptionLines.length === 1);
  assert.deepEqual(await lines(), [hostile]);
  assert.equal(await page.evaluate(() => window.hacked), undefined);
  assert.equal(await page.$('#transcriptionScroller img'), null);
});

test('the caption box opens the full-screen overlay and Escape closes it', async () => {
  await fixture.send('final Grace and peace to you.');
  await fixture.send('partial Grace and peace to you. The Lord be');
  await waitUntil(page, () => captions.history.currentPartialLine !== null);
  await page.click('#transcriptionBox');
  await waitUntil(page, () => document.getElementById('fullscreenOverlay').style.display === 'flex');
  const big = await page.$$eval('#fullscreenScroller .transcription-line', (els) => els.map((e) => e.textContent));
  assert.equal(big[0], 'Grace and peace to you.');
  await page.screenshot({ path: join(artifacts, 'listener-captions-overlay.png') });
  await page.keyboard.press('Escape');
  await waitUntil(page, () => document.getElementById('fullscreenOverlay').style.display === 'none');
});

test('a dropped event stream reconnects by itself and registers again', async () => {
  // Serve the page through a proxy that can cut every connection, as a network drop would.
  const sockets = new Set();
  const proxy = net.createServer((client) => {
    const upstream = net.connect(fixture.port, '127.0.0.1');
    client.pipe(upstream).pipe(client);
    const pair = { client, upstream };
    sockets.add(pair);
    const drop = () => { client.destroy(); upstream.destroy(); sockets.delete(pair); };
    client.on('error', drop).on('close', drop);
    upstream.on('error', drop).on('close', drop);
  });
  await new Promise((resolve) => proxy.listen(0, '127.0.0.1', resolve));
  const proxied = await context.newPage();
  await proxied.goto(`http://127.0.0.1:${proxy.address().port}/listen`);
  await waitUntil(proxied, () => document.getElementById('transcriptionContainer').style.display === 'block');
  const registrations = () => fixture.lines.filter((l) => l.startsWith('🎤 Added transcription connection')).length;
  const before = registrations();

  for (const pair of sockets) { pair.client.destroy(); pair.upstream.destroy(); }
  const deadline = Date.now() + 15000;
  while (registrations() === before && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
  assert.ok(registrations() > before, 'the browser opened a new event stream');
  await fixture.send('final after reconnect');
  await waitUntil(proxied, () => captions.history.transcriptionLines.some((l) => l.text === 'after reconnect'));
  proxy.close();
  for (const pair of sockets) { pair.client.destroy(); pair.upstream.destroy(); }
});
