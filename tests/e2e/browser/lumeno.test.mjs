// The listener page served by the real lumeno binary, streaming a WAV file as its input.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { launchBrowser, startLumeno, phone, artifacts, waitUntil } from './support.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

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

test('a phone plays the operator\'s input at its own rate until the service stops', async () => {
  const wav = join(artifacts, 'tone-32000-stereo.wav');
  writeToneWav(wav);
  const lumeno = await startLumeno(['--input-file', wav, '--set', 'isStreaming=true'],
    { PULSE_SERVER: 'unix:/nonexistent/lumeno-test' });
  const context = await browser.newContext(phone);
  // The raw stream ("Full quality") is the one that plays at the operator's own rate.
  await context.addInitScript(() => localStorage.setItem('lumeno.fullQuality', 'true'));
  const page = await context.newPage();
  try {
    await page.goto(lumeno.url + '/listen');
    // Streaming is restored one second after start: the page moves from waiting to available.
    await waitUntil(page, () => document.getElementById('toggleBtn').style.display === 'block', 10000);
    assert.equal(await page.$eval('#status', (el) => el.textContent), 'Stream available - tap button to listen');

    await page.click('#toggleBtn');
    await waitUntil(page, () => listener.isPlaying && listener.audioContext && listener.audioContext.state === 'running');
    assert.equal(await page.evaluate(() => listener.audioContext.sampleRate), 32000);
    await waitUntil(page, () => parseFloat(document.getElementById('levelBar').style.width) > 20);
    const scheduledAhead = await page.evaluate(() => new Promise((resolve) => {
      const start = listener.audioContext.currentTime;
      setTimeout(() => resolve(listener.audioContext.currentTime - start), 1000);
    }));
    assert.ok(scheduledAhead > 0.8, 'the audio clock runs while playing');

    await lumeno.stop('SIGTERM');
    await waitUntil(page, () => document.getElementById('status').textContent === 'Reconnecting...');
  } finally {
    await context.close();
    await lumeno.stop();
  }
});
