// The burst detector and the pairing on synthetic recordings: a wrong onset or a wrong id would
// make every figure the benchmark prints wrong without anything failing.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { BurstDetector, DropoutDetector, ArrivalClock, pairBursts, sampleAt, burstIdAt, kRate, kPeriodFrames, kIds } from './signal.mjs';
import { packetDelayMs, releaseMs } from './wifi.mjs';

// `frames` of the written signal starting at `first`, delayed by `delay` frames of silence and
// scaled by `gain`, as a recorder would return them.
function recording(first, frames, { delay = 0, gain = 1 } = {}) {
  const out = new Int16Array(frames);
  for (let i = delay; i < frames; i++) out[i] = Math.round(sampleAt(first + i - delay) * gain);
  return out;
}

function detectInPieces(samples, pieceSizes, detector = new BurstDetector()) {
  const found = [];
  for (let at = 0, k = 0; at < samples.length; k++) {
    const size = pieceSizes[k % pieceSizes.length];
    found.push(...detector.push(samples.subarray(at, at + size)));
    at += size;
  }
  return found;
}

test('finds every burst at its onset with its id, whatever the read sizes and level', () => {
  const cases = [
    { pieces: [kRate], gain: 1, delay: 0 },
    { pieces: [1, 7, 333, 4096], gain: 1, delay: 1234 },
    { pieces: [240], gain: 0.15, delay: 17 }, // a quiet page: about 0.09 of full scale
  ];
  const first = 5 * kPeriodFrames;
  for (const { pieces, gain, delay } of cases) {
    const found = detectInPieces(recording(first, 30 * kPeriodFrames, { delay, gain }), pieces);
    assert.equal(found.length, 30, JSON.stringify({ pieces, gain }));
    found.forEach((burst, k) => {
      // A sine starts at zero: the first sample above the threshold comes a little later, at
      // most 0.2 ms for the lowest tone at the quietest level.
      const late = burst.frame - (delay + k * kPeriodFrames);
      assert.ok(late >= 0 && late <= 8, `onset ${late} frames late`);
      assert.equal(burst.id, burstIdAt(first + k * kPeriodFrames));
    });
  }
});

test('every id is told apart from its neighbours, even played 0.5 % fast', () => {
  const frames = 2 * kIds * kPeriodFrames;
  const fast = new Int16Array(frames);
  for (let i = 0; i < frames; i++) fast[i] = sampleAt(Math.floor(i * 1.005));
  const ids = new BurstDetector().push(fast).map((b) => b.id);
  assert.deepEqual(ids.slice(0, 2 * kIds), Array.from({ length: 2 * kIds }, (_, k) => k % kIds));
});

test('two bursts spliced together are reported without an id rather than a wrong one', () => {
  const third = recording(3 * kPeriodFrames, kPeriodFrames);
  const fourth = recording(4 * kPeriodFrames, kPeriodFrames);
  const spliced = third.map((x, i) => (x + fourth[i]) / 2);
  const [burst] = new BurstDetector().push(spliced);
  assert.equal(burst.id, -1);
});

test('arrival times take the earliest bound, so late reads do not add delay', () => {
  const clock = new ArrivalClock();
  // 10 ms pieces; each nominally arrives at its end's time plus 2 ms, some reads 15 ms late.
  for (let k = 1; k <= 100; k++) clock.add(480 * k, 2 + 10 * k + (k % 3 === 0 ? 15 : 0));
  assert.ok(Math.abs(clock.timeOf(4800) - 102) < 1e-9);
  assert.ok(Math.abs(clock.timeOf(4800 + 240) - 107) < 1e-9);
  assert.equal(clock.timeOf(480 * 95), null, 'no answer until a quarter second past the frame has arrived');

  // A recorder kept waiting for 400 ms gets a backlog at once: frames in it are still timed by
  // the reads on time before and after it.
  const stalled = new ArrivalClock();
  for (let k = 1; k <= 100; k++) stalled.add(480 * k, k >= 40 && k < 80 ? 800 : 10 * k);
  assert.ok(Math.abs(stalled.timeOf(480 * 45) - 450) < 1e-9);
});

test('pairs a late burst with the written one of its id, across skipped bursts', () => {
  const period = (kPeriodFrames * 1000) / kRate;
  const written = Array.from({ length: 40 }, (_, k) => ({ id: k % kIds, t: 1000 + k * period }));
  const heard = [
    { id: 2, t: 1000 + 2 * period + 120 }, // on time
    { id: 9, t: 1000 + 9 * period + 2100 }, // after a stall: later than four bursts' spacing
    { id: -1, t: 1000 + 10 * period + 2100 }, // unreadable: not paired
    { id: 30 % kIds, t: 1000 + 30 * period + 80 }, // the id's second round
  ];
  const delays = pairBursts(written, heard).map((p) => Math.round(p.delayMs));
  assert.deepEqual(delays, [120, 2100, 80]);
});

test('10 ms of silence in the hum is one dropout whatever the read sizes; bursts, fades and shorter gaps are none', () => {
  const samples = recording(0, 3 * kPeriodFrames);
  samples.fill(0, 30000, 30600);  // 12.5 ms
  samples.fill(0, 50000, 50300);  // 6 ms
  for (const pieces of [[128], [1000, 7]]) {
    const found = detectInPieces(samples, pieces, new DropoutDetector());
    assert.equal(found.length, 1, `${pieces}: ${found}`);
    assert.ok(Math.abs(found[0] - 30000) < 10);
  }
});

test('the Wi-Fi profile: median 5 ms, 1 % of pieces 60 ms or more, in order, nothing during a stall', () => {
  assert.ok(Math.abs(packetDelayMs(0.5) - 5) < 1e-9 && Math.abs(packetDelayMs(0.99) - 60) < 1e-9);
  assert.equal(releaseMs(0, 70, 100), 100, 'not before the piece ahead of it');
  assert.equal(releaseMs(10050, 20, 0), 10300, 'held to the end of the stall at 10 s');
  assert.equal(releaseMs(9990, 5, 0), 9995, 'just before the stall');
});
