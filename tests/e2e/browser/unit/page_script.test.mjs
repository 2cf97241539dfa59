// The page's script as a whole, and the raw stream's decoding, without a browser.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';
import { parse } from 'acorn';

const web = join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..', '..', 'src', 'server', 'web');
const read = (name) => readFileSync(join(web, name), 'utf8');

test('the script parses as ES2019, which iPhones back to iOS 12.2 run', () => {
  // The page builder joins them into one script: one newer construct anywhere stops all of it.
  const joined = ['playback.js', 'ogg_opus.js', 'pcm.js', 'captions.js', 'listener.js'].map(read).join('\n');
  assert.doesNotThrow(() => parse(`const transcriptionEnabled = true;\n${joined}`, { ecmaVersion: 2019 }));
});

test('raw frames: stereo averaged to mono with divisor 32768, a read may split a sample', () => {
  const { makeFrameAssembler, decodeFrames } = vm.runInNewContext(`${read('pcm.js')};({ makeFrameAssembler, decodeFrames })`);
  // Frames (16384, 0) and (-32768, -32768), delivered in pieces that split a sample.
  const bytes = new Uint8Array([0x00, 0x40, 0x00, 0x00, 0x00, 0x80, 0x00, 0x80]);
  const assemble = makeFrameAssembler(2);
  const decoded = [];
  for (const piece of [bytes.slice(0, 3), bytes.slice(3, 5), bytes.slice(5)]) decoded.push(...decodeFrames(assemble(piece), 2));
  assert.deepEqual(decoded, [0.25, -1]);
  assert.equal(assemble.remainder(), 0);
  assert.equal(decodeFrames(new Uint8Array([0xff, 0x3f]), 1)[0], 16383 / 32768);
});
