// The listener page on the engine under test, opened from a plain-http host name as a venue's
// phones open it: one test for each thing a listener does or meets, sound proven by recording what
// the browser played (in the modes table), and no serious accessibility violation in the page's
// main states.
import { test, before, after, beforeEach, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { openBrowser, startFixture, startProxy, toneResponse, pageUrl, engine, artifacts, sleep, until,
  toneSeconds, accessibilityViolations } from './support.mjs';

const title = "St. Mark's Sunday Service";
let browser, fixture, proxy, page;
before(async () => {
  browser = await openBrowser();
  fixture = await startFixture(['speechRecognitionEnabled=true', `customTitle=${title}`]);
  proxy = await startProxy(fixture.url);
});
after(async () => {
  await browser?.close();
  await proxy?.close();
  await fixture?.stop();
});
beforeEach(async () => {
  proxy.audio = null;
  page = await browser.newPage();
});
afterEach(async () => { await page?.close(); });

const shown = () => page.evaluate(() => `${document.getElementById('status').textContent}|${document.getElementById('toggleBtn').textContent}`);
const level = () => page.evaluate(() => parseFloat(document.getElementById('levelBar').style.width));
const noViolations = async (state) => assert.deepEqual(await accessibilityViolations(page), [], `accessibility, ${state}`);
// Screenshots for the README come from Chromium's phone-sized pages.
const screenshot = async (name) => { if (engine === 'chromium') await page.screenshot(join(artifacts, name), { fullPage: true }); };
const captionsOpen = () => page.waitFor(() => document.getElementById('transcriptionContainer').style.display === 'block');
const heard = async (ms = 2000) => toneSeconds(await browser.sound.record(ms), 440);
// Answers the page's /audio requests in turn with `responses`; the last keeps answering.
const inTurn = (...responses) => {
  let next = 0;
  return (req, res) => responses[Math.min(next++, responses.length - 1)](req, res);
};
const streamTone = async (seconds = 30, frames = 512) => {
  await fixture.send('streaming on');
  await fixture.send(`tone 48000 1 ${seconds} ${frames}`);
};
const chromiumOnly = { skip: engine !== 'chromium' && 'what it proves does not depend on the engine, or needs Chromium' };

// Opens the page (through the test proxy unless told), runs `prepare` in it, taps Start Listening
// and, unless told, waits for sound.
async function startPlaying({ url = pageUrl(proxy.port), storage = null, prepare = null, wait = true } = {}) {
  await page.open(url, storage);
  await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, 10000);
  if (prepare) await page.evaluate(prepare);
  await page.click('#toggleBtn');
  if (wait) await page.waitFor(() => listenerStats.state === 'playing' && parseFloat(document.getElementById('levelBar').style.width) > 0);
}

test('from a plain-http address: waiting, available, playing the default stream with captions, full screen, stopped', async () => {
  await page.open(pageUrl(proxy.port));
  assert.equal(await page.evaluate(() => isSecureContext), false);
  await captionsOpen();
  await page.waitFor(() => document.getElementById('status').textContent === 'Waiting for stream...' && document.getElementById('toggleBtn').style.display === 'none');
  await noViolations('waiting');

  await streamTone(60);
  await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, 5000);
  assert.equal(await shown(), 'Stream available - tap button to listen|Start Listening');
  await page.click('#toggleBtn');
  await page.waitFor(() => listenerStats.state === 'playing' && parseFloat(document.getElementById('levelBar').style.width) > 50);
  assert.deepEqual(await page.evaluate(() => [listenerStats.mode, listenerStats.codec, listenerStats.decoder]), ['live', 'opus', 'wasm']);
  assert.equal(await shown(), 'Connected - Listening|Stop Listening');

  await fixture.send("final Welcome, everyone, to this morning's service.");
  await fixture.send('partial Please turn with me to John 3:16.');
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
  assert.equal(await shown(), 'Stream available - tap button to listen|Start Listening');
  assert.equal(await level(), 0);
});

test('captions only: the event stream alone, counted as a listener; pressed again, the stream is offered', async () => {
  await streamTone();
  await startPlaying();
  await page.click('#captionsOnlyBtn');
  await page.waitFor(() => document.getElementById('status').textContent === 'Captions only - no sound');
  assert.deepEqual(await page.evaluate(() => [listener.isPlaying, listener.currentReader, document.getElementById('captionsOnlyBtn').getAttribute('aria-pressed')]),
    [false, null, 'true']);
  const asked = proxy.requests.length;
  await sleep(2500);  // longer than the status poll's period
  assert.deepEqual(proxy.requests.slice(asked), [], 'nothing asked for beyond the open event stream');
  assert.equal(await fixture.count(), 1);
  await noViolations('captions only');
  await screenshot('listener-captions-only.png');

  await page.click('#captionsOnlyBtn');
  await page.waitFor(() => document.getElementById('status').textContent === 'Stream available - tap button to listen', null, 5000);
});

test('caption text: shown as text, sized in steps up to 40 px that are remembered and fit the phone, back after a drop', async () => {
  // A stored size that is not one of the steps gives the default.
  await page.open(pageUrl(proxy.port), { 'lumeno.captionSize': '41' });
  await captionsOpen();
  const hostile = '<img src=x onerror="window.hacked=1"> & "quotes" 🙏 Thessalonians, unbreakably.';
  await fixture.send(`final ${hostile}`);
  await page.waitFor(() => captions.history.transcriptionLines.length === 1);
  assert.deepEqual(await page.evaluate(() => [document.querySelector('#transcriptionScroller .final').textContent, window.hacked === undefined,
    document.querySelector('#transcriptionScroller img')]), [hostile, true, null]);

  const size = () => page.evaluate(() => getComputedStyle(document.querySelector('#transcriptionScroller .final')).fontSize);
  const larger = '#transcriptionContainer [data-caption-size="1"]';
  const steps = [await size()];
  for (let i = 0; i < 4; i++) {
    await page.click(larger);
    steps.push(await size());
  }
  assert.deepEqual(steps, ['16px', '20px', '24px', '32px', '40px']);
  assert.deepEqual(await page.evaluate((s) => [document.querySelector(s).disabled, document.getElementById('transcriptionBox').scrollWidth <= document.getElementById('transcriptionBox').clientWidth,
    document.documentElement.scrollWidth <= window.innerWidth], larger), [true, true, true], 'no line runs out of the box or the screen');
  await screenshot('listener-large-text.png');
  await page.click('#transcriptionBox');
  assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('#fullscreenScroller .final')).fontSize), '40px');
  await noViolations('largest text, full screen');

  // Remembered; and a dropped event stream comes back by itself.
  await page.open(pageUrl(proxy.port));
  await captionsOpen();
  assert.equal(await page.evaluate(() => getComputedStyle(document.documentElement).getPropertyValue('--caption-size').trim()), '40px');
  proxy.cut();
  await page.waitFor(() => !captions.connected);
  await page.waitFor(() => captions.connected, null, 15000);
  await fixture.send('final after reconnect');
  await page.waitFor(() => captions.history.transcriptionLines.some((l) => l.text === 'after reconnect'));
});

// Both ways of playing: live (Web Audio) and "Keep playing when the screen locks" (the MP3 stream
// through a media element, which must keep playing with the page out of sight).
for (const { mode, codec, hidden } of [{ mode: 'live', codec: 'opus', hidden: false }, { mode: 'background', codec: 'mp3', hidden: true }]) {
  test(`${mode} mode: heard${hidden ? ', also hidden' : ''}; the server restarted: Reconnecting..., then playing again, no tap; stopped`, async () => {
    const first = await startFixture([`customTitle=${title}`]);
    let second;
    try {
      await first.send('streaming on');
      await first.send('tone 48000 1 60 1024');
      await startPlaying({ url: pageUrl(first.port), storage: { 'lumeno.background': String(mode === 'background') }, wait: false });
      assert.equal(await page.evaluate(() => document.getElementById('backgroundNote').hidden), mode === 'live', 'the page says when it plays later');
      await page.waitFor(() => listenerStats.state === 'playing', null, 20000);
      await page.evaluate(() => { window.firstContext = listener.audioContext; });
      // The lock screen's title; the media element plays (the keep-alive one may be given up).
      assert.deepEqual(await page.evaluate((background) => {
        const element = document.getElementById(background ? 'backgroundAudio' : 'keepAlive');
        return [listenerStats.mode, listenerStats.codec, navigator.mediaSession.metadata.title, (!background && listener.keepAliveUnavailable) || !element.paused];
      }, mode === 'background'), [mode, codec, title, true]);
      assert.equal(await shown(), 'Connected - Listening|Stop Listening');
      // The meter follows the sound, or says it cannot.
      await page.waitFor(() => parseFloat(document.getElementById('levelBar').style.width) > 50 || !document.getElementById('meterNote').hidden);
      assert.ok(await heard() >= 1.2, 'the tone was heard');
      if (hidden) {
        await page.hide();
        assert.equal(await page.evaluate(() => document.hidden), true);
        assert.ok(await heard() >= 1.2, 'the tone was heard with the page hidden');
        await page.show();
      }

      await first.stop('SIGKILL');
      // A media element notices once it has played what it holds.
      await page.waitFor(() => listenerStats.state === 'reconnecting', null, 15000);
      assert.equal(await shown(), 'Reconnecting...|Reconnecting...');
      assert.equal(await level(), 0);
      await noViolations(`reconnecting, ${mode}`);
      if (mode === 'live') await screenshot('listener-reconnecting.png');
      second = await startFixture([`customTitle=${title}`], { port: first.port });
      await second.send('streaming on');
      await second.send('tone 48000 1 60 1024');
      // Retries at 1, 2 and 4 s: live sound again well within 6 s of the restart.
      await page.waitFor(() => listenerStats.state === 'playing' && listenerStats.connects === 2, null, mode === 'live' ? 8000 : 20000);
      if (mode === 'live') assert.deepEqual(await page.evaluate(() => [listener.audioContext === firstContext, listener.audioContext.state]), [true, 'running']);
      await page.click('#toggleBtn');
      assert.deepEqual(await page.evaluate(() => [listenerStats.state, listener.audioContext, listener.element && listener.element.getAttribute('src')]),
        ['stopped', null, null]);
    } finally {
      await first.stop();
      await second?.stop();
    }
  });
}

test('a listener who stops while reconnecting is never reconnected', async () => {
  await fixture.send('streaming on');
  // The first stream ends after a second; the retry's answer is held back until after the tap.
  let release;
  const held = new Promise((resolve) => { release = resolve; });
  proxy.audio = inTurn(toneResponse({ seconds: 1 }), async (req, res) => { await held; toneResponse({ seconds: 5 })(req, res); });
  const requests = proxy.audioRequests;
  await startPlaying({ storage: { 'lumeno.fullQuality': 'true' }, wait: false });
  await page.waitFor(() => listenerStats.state === 'reconnecting' && listenerStats.connects === 1, null, 8000);
  await until('the retry', () => proxy.audioRequests === requests + 2);
  await page.click('#toggleBtn');
  assert.equal(await shown(), 'Stream available - tap button to listen|Start Listening');
  release();
  await sleep(3500);  // past the next two retry times
  assert.equal(proxy.audioRequests, requests + 2);
  assert.deepEqual(await page.evaluate(() => [listenerStats.state, listener.audioContext, listenerStats.connects]), ['stopped', null, 1]);

  // A stop during the wait before a retry: the retry never happens.
  proxy.audio = toneResponse({ seconds: 1 });
  await page.click('#toggleBtn');
  await page.waitFor(() => listenerStats.state === 'reconnecting', null, 5000);
  const asked = proxy.audioRequests;
  await page.click('#toggleBtn');
  await sleep(1500);
  assert.equal(proxy.audioRequests, asked);
});

test('streams the page must not play are refused in words; an element that cannot play gives way to live mode; a new rate gets a new context, or a word where it needs a tap', async () => {
  await fixture.send('streaming on');
  // A server whose MP3 encoder cannot start: live mode, and the page says so.
  proxy.audio = (req, res) => (req.url.startsWith('/audio.mp3') ? res.writeHead(503).end('no encoder') : toneResponse({ seconds: 10 })(req, res));
  await startPlaying({ storage: { 'lumeno.background': 'true', 'lumeno.fullQuality': 'true' }, wait: false });
  await page.waitFor(() => listenerStats.mode === 'live' && listenerStats.state === 'playing', null, 10000);
  assert.equal(await shown(), 'Listening live - this browser cannot play in the background|Stop Listening');

  await page.open(pageUrl(proxy.port), { 'lumeno.background': 'false' });
  for (const [respond, said] of [[toneResponse({ head: { 'X-Channels': '3' } }), 'Error: unsupported audio format (X-Channels: 3)'],
    [(req, res) => res.writeHead(404).end(), 'Error: HTTP 404']]) {
    proxy.audio = respond;
    await page.waitFor(() => document.getElementById('toggleBtn').style.display === 'block', null, 5000);
    await page.click('#toggleBtn');
    await page.waitFor(() => listenerStats.state === 'error', null, 5000);
    assert.equal(await shown(), `${said}|Start Listening`);
  }
  assert.equal(await page.evaluate(() => listenerStats.connects), 0, 'nothing was ever played');

  proxy.audio = inTurn(toneResponse({ seconds: 1 }), toneResponse({ rate: 44100, seconds: 1 }), toneResponse({ seconds: 5 }));
  await page.click('#toggleBtn');
  await page.waitFor(() => listenerStats.connects === 2 && listenerStats.state === 'playing', null, 8000);
  assert.deepEqual(await page.evaluate(() => [listener.audioContext.sampleRate, listenerStats.sampleRate]), [44100, 44100]);
  // Where the browser will not start a new context without a tap, it says so and stops.
  await page.evaluate(() => {
    window.AudioContext = class extends window.AudioContext {
      get state() { return 'suspended'; }
      resume() { return new Promise(() => {}); }
    };
  });
  await page.waitFor(() => listenerStats.state === 'error', null, 8000);
  assert.equal(await shown(), 'Error: the audio format changed - tap Start Listening|Start Listening');
});

// Decoders are chosen by what plays: each row opens the page (`secure`: from 127.0.0.1, where
// Chromium offers its own decoder), runs `prepare` in it and taps; then the state, stream,
// decoder, the own decoder's trial on the phone and the status line must read `expect`, and
// captions go on.
const breakBundledDecoder = () => {
  // The browser's own decoder goes too, as WebKitGTK's takes the page down (the page learns that
  // only on the next visit).
  delete window.AudioDecoder;
  return loadWasmDecoderScript().then((library) => {
    const Real = library.OpusDecoder;
    library.OpusDecoder = function (options) {
      return Object.assign(new Real(options), { decodeFrame() { throw new Error('decoder broken'); } });
    };
  });
};
const withoutWebAssembly = () => { delete window.WebAssembly; };
const listening = 'Connected - Listening';
for (const { name, secure, storage, prepare, expect, only } of [
  { name: 'the bundled decoder throws: the raw stream, without a tap', prepare: breakBundledDecoder, expect: ['playing', 'pcm', null, null, listening] },
  { name: 'an output whose clock never moves: said in words, captions go on', expect: ['unplayable', null, null, null, 'This browser cannot play the stream'],
    prepare: () => { window.AudioContext = class extends window.AudioContext { get currentTime() { return 0; } }; } },
  { name: 'no WebAssembly: the browser\'s own decoder, on trial until it has played', secure: true, prepare: withoutWebAssembly,
    expect: ['playing', 'opus', 'webcodecs', 'works', listening], only: chromiumOnly },
  { name: 'a visit that died in that trial skips it', secure: true, storage: { 'lumeno.webCodecsTrial': 'started' }, prepare: withoutWebAssembly,
    expect: ['playing', 'pcm', null, 'started', listening], only: chromiumOnly },
]) {
  test(`decoders: ${name}`, only || {}, async () => {
    await streamTone(30, 960);
    await startPlaying({ url: secure ? pageUrl(fixture.port, '/listen', '127.0.0.1') : undefined, storage, prepare, wait: false });
    await page.waitFor((expected) => JSON.stringify([listenerStats.state, listenerStats.codec, listenerStats.decoder,
      localStorage.getItem('lumeno.webCodecsTrial'), document.getElementById('status').textContent]) === expected, JSON.stringify(expect), 10000);
    await captionsOpen();
  });
}

test('Full quality switches to the raw stream at once and is remembered; switched off, Opus again', async () => {
  await streamTone(40, 960);
  const playingWith = (codec) => page.waitFor((c) => listenerStats.state === 'playing' && listenerStats.codec === c &&
    parseFloat(document.getElementById('levelBar').style.width) > 50, codec, 10000);
  await startPlaying();
  await page.click('#fullQuality');
  await playingWith('pcm');
  await startPlaying();  // remembered
  await playingWith('pcm');
  await page.click('#fullQuality');
  await playingWith('opus');
});
