// The listener page's Ogg reader on a real Ogg Opus file (made by opusenc from opus-tools), fed as
// a network would: in pieces of any size, late, damaged.
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const require = createRequire(import.meta.url);
const { OggPacketReader, OggOpusStream, OPUS_DECODERS, parseOpusHead } = require('../../../../src/server/web/ogg_opus.js');

let file;
before(() => {
  // Two seconds of a 440 Hz tone, 48 kHz mono, 20 ms frames.
  const dir = mkdtempSync(join(tmpdir(), 'ogg-opus-'));
  const pcm = Buffer.alloc(96000 * 2);
  for (let i = 0; i < 96000; i++) pcm.writeInt16LE(Math.round(12000 * Math.sin((2 * Math.PI * 440 * i) / 48000)), i * 2);
  writeFileSync(join(dir, 'tone.raw'), pcm);
  execFileSync('opusenc', ['--quiet', '--raw', '--raw-rate', '48000', '--raw-chan', '1', '--framesize', '20',
    join(dir, 'tone.raw'), join(dir, 'tone.opus')]);
  file = new Uint8Array(readFileSync(join(dir, 'tone.opus')));
});

function readAll(bytes, pieceSizes) {
  const reader = new OggPacketReader();
  const packets = [];
  let at = 0;
  for (let i = 0; at < bytes.length; i++) {
    const size = pieceSizes(i);
    packets.push(...reader.push(bytes.subarray(at, at + size)));
    at += size;
  }
  return { packets, reader };
}

const audioFrames = 101;  // (96000 + 312 pre-skip) / 960, rounded up

test('the same packets whatever the read sizes, headers first', () => {
  const whole = readAll(file, () => file.length).packets;
  assert.equal(whole.length, 2 + audioFrames);
  const head = parseOpusHead(whole[0].data);
  assert.deepEqual([head.channels, head.preSkip, head.inputSampleRate], [1, 312, 48000]);
  assert.ok(whole[0].bos);
  assert.equal(new TextDecoder().decode(whole[1].data.subarray(0, 8)), 'OpusTags');
  assert.equal(whole[whole.length - 1].granule, 96312);

  let seed = 7;
  const random = () => ((seed = (seed * 1103515245 + 12345) % 2147483648) % 700) + 1;
  for (const sizes of [() => 1, () => 3, random]) {
    const pieces = readAll(file, sizes).packets;
    assert.equal(pieces.length, whole.length);
    pieces.forEach((p, i) => assert.deepEqual(p.data, whole[i].data));
  }
});

test('a damaged page costs its own packets only, garbage before a page is skipped', () => {
  const whole = readAll(file, () => file.length).packets;
  const damaged = file.slice();
  damaged[Math.floor(file.length / 2)] ^= 0x40;
  const { packets, reader } = readAll(damaged, () => 512);
  assert.ok(packets.length < whole.length && packets.length > whole.length / 4, `${packets.length} packets`);
  assert.ok(reader.skippedBytes > 0);
  for (const p of packets) assert.ok(whole.some((w) => w.data.length === p.data.length && Buffer.compare(w.data, p.data) === 0));

  const garbage = new Uint8Array(1000).map((_, i) => (i * 37) & 0xff);
  garbage.set([0x4f, 0x67, 0x67, 0x53], 500);  // a false capture pattern
  const joined = new Uint8Array(garbage.length + file.length);
  joined.set(garbage, 0);
  joined.set(file, garbage.length);
  assert.equal(readAll(joined, () => 256).packets.length, whole.length);
});

test('a stream joined in the middle of a page starts at the next whole packet', () => {
  const whole = readAll(file, () => file.length).packets;
  const late = readAll(file.subarray(200), () => 100).packets;
  assert.ok(late.length > 0 && late.length < whole.length);
  const tail = whole.slice(whole.length - late.length);
  late.forEach((p, i) => assert.deepEqual(p.data, tail[i].data));
});

test('identification headers the page cannot play are refused', () => {
  const head = readAll(file, () => file.length).packets[0].data;
  assert.ok(parseOpusHead(head));
  const withChannels = (n, family = 0) => {
    const copy = head.slice();
    copy[9] = n;
    copy[18] = family;
    return copy;
  };
  assert.equal(parseOpusHead(withChannels(0)), null);
  assert.equal(parseOpusHead(withChannels(3)), null);
  assert.equal(parseOpusHead(withChannels(2, 1)), null);
  assert.equal(parseOpusHead(head.subarray(0, 12)), null);
  assert.equal(parseOpusHead(new TextEncoder().encode('OpusTags and more bytes')), null);
});

test('a decoder that throws, errs, stays silent or is missing gives way to the next; none left fails the stream', async () => {
  // Fake decoders by behaviour: 'ok' gives a block per packet, 'throws' and 'errs' fail on their
  // fifth packet, 'silent' never gives audio, 'missing' cannot be made here, 'hangs' is never ready.
  const fake = (behaviour) => async (head, onSamples, onError) => {
    if (behaviour === 'missing') return null;
    if (behaviour === 'hangs') return new Promise(() => {});
    let packets = 0;
    return {
      kind: behaviour,
      decode() {
        packets++;
        if (behaviour === 'ok') onSamples(new Float32Array(960), 48000);
        if (packets === 5 && behaviour === 'throws') onError(new Error('decodeFrame threw'));
        if (packets === 5 && behaviour === 'errs') setTimeout(() => onError(new Error('decoder error')), 0);
      },
      close() {},
    };
  };
  const cases = [
    { order: ['ok'], playing: 'ok' },
    { order: ['throws', 'ok'], playing: 'ok' },
    { order: ['errs', 'ok'], playing: 'ok' },
    { order: ['silent', 'ok'], playing: 'ok' },
    { order: ['missing', 'ok'], playing: 'ok' },
    { order: ['hangs', 'ok'], playing: 'ok' },
    { order: ['silent', 'throws'], playing: null, failed: true },
  ];
  const packets = readAll(file, () => file.length).packets;
  const saved = { ...OPUS_DECODERS };
  try {
    for (const { order, playing, failed = false } of cases) {
      for (const name of order) OPUS_DECODERS[name] = fake(name);
      let clock = 0;
      let blocks = 0;
      let error = null;
      const stream = new OggOpusStream(() => blocks++, (e) => { error = e; }, { decoders: order, now: () => clock, openMs: 20 });
      // Two seconds of packets, 20 ms apart, each in a page of its own as Lumeno sends them.
      for (const packet of packets) {
        stream.handlePacket(packet);
        clock += 20;
        await new Promise((resolve) => setTimeout(resolve, 1));
      }
      const name = order.join(' then ');
      assert.equal(stream.kind, playing, name);
      assert.equal(error !== null, failed, `${name}: ${error}`);
      if (!failed) assert.ok(blocks > 40, `${name}: ${blocks} blocks`);
    }
  } finally {
    Object.assign(OPUS_DECODERS, saved);
    for (const name of Object.keys(OPUS_DECODERS)) if (!(name in saved)) delete OPUS_DECODERS[name];
  }
});
