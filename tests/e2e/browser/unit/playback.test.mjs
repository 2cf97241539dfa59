// The page's playback schedule as tables: block arrivals (output time, frames, rate) in, what is
// scheduled, skipped and trimmed out. No browser: the policy is pure.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';

const source = readFileSync(join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..', '..', 'src', 'server', 'web', 'playback.js'), 'utf8');
const { PlaybackPolicy, TARGET_DELAY_MS, MAX_TARGET_DELAY_MS, WARM_UP_S } = vm.runInNewContext(source + ';({ PlaybackPolicy, TARGET_DELAY_MS, MAX_TARGET_DELAY_MS, WARM_UP_S })');
const target = TARGET_DELAY_MS / 1000;
const cushion = MAX_TARGET_DELAY_MS / 1000;
const R = 48000;
const F = 1024;
const D = F / R;

// Feeds arrivals (`at` the output clock's reading, `wall` the wall clock when given) and checks what must hold for every schedule: blocks never overlap, and between
// restarts each one starts exactly where the one before it ends.
function run(arrivals, policy = new PlaybackPolicy()) {
  const plans = [];
  let end = null;
  for (const { at, wall, frames = F, rate = R } of arrivals) {
    const plan = policy.place(at, frames, rate, wall);
    assert.equal(plan.offset + plan.frames, frames);
    assert.ok(Number.isInteger(plan.offset), 'skips end on a frame boundary');
    if (plan.frames > 0) {
      if (plan.rearmed) assert.ok(end === null || plan.when >= end - 1e-9, 'no overlap after a restart');
      else assert.ok(Math.abs(plan.when - end) < 1e-9, `gap-free at ${at}`);
      assert.ok(plan.when >= at, 'never scheduled in the past');
      assert.ok(Math.abs(plan.playbackRate - 1) <= 0.005 + 1e-12, 'trim within 0.5 %');
      end = plan.when + plan.frames / rate / plan.playbackRate;
    }
    // Plain objects: the policy's come from another realm, which strict equality tells apart.
    plans.push({ ...JSON.parse(JSON.stringify(plan)), at });
  }
  return { plans, policy };
}

const steady = (from, count, interval = D) => Array.from({ length: count }, (_, i) => ({ at: from + i * interval }));
// Blocks enough to see a connection through its warm-up (a cushion of the largest target, whose
// surplus goes once it is over); what a test looks at comes after them.
const W = Math.ceil((WARM_UP_S + 0.5) / D);

test('a steady stream starts on the warm-up cushion, drops to the target after it, then plays back to back', () => {
  const { plans, policy } = run(steady(10, W + 600));
  assert.equal(plans[0].when, 10 + cushion);
  assert.deepEqual(plans[0].fade, { at: 10 + cushion, fadeOut: false }, 'the start fades in');
  const skips = plans.filter((p) => p.skipped > 0);
  assert.ok(skips.every((p) => p.at - 10 >= WARM_UP_S && p.at - 10 < WARM_UP_S + 0.1 && (p.frames === 0 || p.fade.fadeOut)), 'the cushion goes right after the warm-up');
  assert.ok(policy.skippedS >= cushion - target && policy.skippedS <= cushion - target + D, `skipped ${policy.skippedS}`);
  assert.ok(plans.slice(1).every((p, i) => !p.rearmed && (p.fade === null || p.skipped > 0 || plans[i].skipped > 0)), 'back to back, fading only at skips');
  assert.ok(Math.abs(policy.lastLeadS - target) < 0.001 && Math.abs(plans.at(-1).playbackRate - 1) < 0.0002, 'settled at the target');
});

test('after a stall the backlog is skipped and the lead is back at the target', () => {
  const cases = [
    // name, the burst's arrivals right after a 2 s stall
    ['backlog in one long read', [{ at: 12, frames: 2 * R }]],
    ['backlog as separate blocks', Array.from({ length: 94 }, (_, i) => ({ at: 12 + i * 1e-5 }))],
    ['backlog in uneven reads', [{ at: 12, frames: 30000 }, { at: 12.001, frames: 50000 }, { at: 12.002, frames: 16000 }]],
  ];
  for (const [name, burst] of cases) {
    const { plans, policy } = run([...steady(0, 100), ...burst, ...steady(12 + D, 50)]);
    const after = plans.slice(100);
    const played = after.slice(0, burst.length).reduce((sum, p) => sum + p.frames, 0);
    assert.ok(after[0].rearmed, name);
    assert.ok(played <= F + 0.02 * R, `${name}: at most one usual block of the backlog is heard (${played} frames)`);
    assert.ok(Math.abs(plans[100 + burst.length].when - plans[100 + burst.length].at - target) < 0.003, `${name}: lead at the first live block`);
    assert.ok(Math.abs(policy.lastLeadS - target) < 0.003, name);
    assert.equal(policy.underruns, 1, name);
  }
});

test('a surplus beyond the margin is skipped from the block start, with a fade around the junction', () => {
  const blocks = 2048;
  const d = blocks / R;
  const n = Math.ceil((WARM_UP_S + 8) / d);  // warm, and settled after the cushion went
  // Steady, then one read carries 25 ms (1200 frames) more than a block: that much surplus.
  const { plans, policy } = run([...steady(0, n, d).map((a) => ({ ...a, frames: blocks })), { at: n * d, frames: blocks + 1200 }, { at: (n + 1) * d, frames: blocks }]);
  const skip = plans[n];
  const before = policy.skippedS - skip.skipped / R;
  assert.ok(Math.abs(skip.skipped - 0.025 * R) < 0.001 * R, `skipped ${skip.skipped} frames`);
  assert.deepEqual(skip.fade, { at: skip.when, fadeOut: true });
  assert.ok(Math.abs(plans[n + 1].when - plans[n + 1].at - target) < 0.0005, 'the next block finds the target lead');
  assert.ok(Math.abs(before - (cushion - target)) < 0.05, 'only the warm-up cushion went before');

  // A surplus within the margin is left to the trim.
  const small = run([...steady(0, W), { at: W * D, frames: F + 720 }]).plans[W];
  assert.equal(small.skipped, 0);
  // A read of surplus alone is skipped whole: the fade goes onto the next block that plays.
  const whole = run([...steady(0, W + 1), { at: W * D, frames: 1200 }, { at: (W + 1) * D }]).plans.slice(W);
  assert.deepEqual(whole.map((p) => [p.frames, p.fade?.fadeOut ?? null]), [[F, null], [0, null], [F, true]]);
});

test('an underrun plays silence and restarts at the target instead of stuttering', () => {
  // Blocks W to W + 3 are held up until 30 ms after the schedule ran dry, then come together.
  const late = W * D + target + 0.03;
  const { plans, policy } = run([...steady(0, W), ...steady(late, 4, 0), ...steady((W + 4) * D, 10)]);
  assert.ok(plans[W].rearmed);
  assert.equal(policy.underruns, 1);
  assert.ok(Math.abs(plans[W].when - (late + policy.targetS)) < 1e-9, 'restarts a full target ahead');
  assert.deepEqual(plans[W].fade, { at: plans[W].when, fadeOut: false });
  assert.ok(plans.slice(W + 1).every((p) => !p.rearmed), 'no stutter: one restart, not one per block');
  assert.ok(plans.slice(W + 4).every((p) => p.frames === F), 'the on-time blocks play whole');
  // What came together beyond the target was skipped, so the delay is back where it was.
  assert.ok(Math.abs(policy.lastLeadS - policy.targetS) < 0.01, `lead ${policy.lastLeadS}`);
});

test('a source clock off by up to 0.5 % is held near the target by the trim alone', () => {
  for (const ppm of [-5000, -79, 79, 5000]) {
    const interval = D / (1 + ppm / 1e6);
    const count = Math.round(120 / interval);  // two minutes
    const { plans, policy } = run(steady(0, count, interval));
    const leads = plans.slice(Math.round(5 / interval)).map((p) => p.when - p.at);
    const worst = Math.max(...leads.map((lead) => Math.abs(lead - target)));
    assert.ok(worst < 0.025, `${ppm} ppm: lead off by ${worst * 1000} ms`);
    assert.equal(policy.underruns, 0, `${ppm} ppm`);
    assert.ok(policy.skippedS < 0.1, `${ppm} ppm skipped ${policy.skippedS} s`);
    const trim = plans[plans.length - 1].playbackRate - 1;
    assert.ok(Math.sign(trim) === Math.sign(ppm) || Math.abs(ppm) < 100, `${ppm} ppm trims the right way (${trim})`);
  }
});

test('arrival jitter below the target neither drops nor restarts', () => {
  // Every third block 20 ms late, others on time; a 44.1 kHz stream in 441-frame blocks.
  const d = 441 / 44100;
  const arrivals = Array.from({ length: 3000 }, (_, i) => ({ at: i * d + (i % 3 === 1 ? 0.02 : 0), frames: 441, rate: 44100 }));
  const { plans, policy } = run(arrivals);
  assert.equal(policy.underruns, 0);
  assert.ok(plans.every((p) => p.skipped === 0 || p.at < WARM_UP_S + 0.1), 'nothing skipped but the warm-up cushion');
});

test('short dropouts raise the target step by step up to 80 ms, quiet minutes lower it, outages leave it', () => {
  // A block 70 ms late every 2 s for 20 s, then a steady 4 minutes.
  const arrivals = [];
  let delay = 0;
  for (let i = 0; i < Math.round(260 / D); i++) {
    const t = i * D;
    if (t < 20 && i % Math.round(2 / D) === 50) delay = 0.07; else delay = 0;
    arrivals.push({ at: t + delay });
  }
  const policy = new PlaybackPolicy();
  const targets = [];
  for (let i = 0; i < arrivals.length; i++) {
    policy.place(arrivals[i].at, F, R);
    if (i === Math.round(20 / D)) targets.push(Math.round(policy.targetS * 1000));
  }
  targets.push(Math.round(policy.targetS * 1000));
  assert.ok(policy.underruns >= 2 && policy.underruns <= 5, `underruns ${policy.underruns}`);
  assert.ok(targets[0] > TARGET_DELAY_MS && targets[0] <= 80, `raised to ${targets[0]} ms`);
  assert.equal(targets[1], TARGET_DELAY_MS, 'back at the start after quiet minutes');

  // A 2 s outage is not jitter, nor is a dropout while a connection warms up.
  const outage = run([...steady(0, 100), ...steady(100 * D + 2, 100)]).policy;
  assert.equal(outage.underruns, 1);
  assert.equal(outage.targetS, target);
  const warmUp = run([...steady(0, 20), ...steady(20 * D + 0.1, 100)]).policy;
  assert.equal(warmUp.underruns, 1);
  assert.equal(warmUp.targetS, target);
  assert.equal(run([...steady(0, 20), ...steady(20 * D + 0.07, 100)]).policy.underruns, 0, 'the cushion holds a 70 ms dropout');
});

test('an output clock that stalls and jumps is neither skipped nor run dry; one that stops is an outage', () => {
  // Blocks arrive steadily by the wall clock; the output clock reads `clock(wall)`.
  const cases = [
    { name: 'smooth', clock: (w) => w, underruns: 0 },
    { name: 'in 60 ms steps (WebKit)', clock: (w) => Math.floor(w / 0.06) * 0.06, underruns: 0 },
    { name: 'stalls 50 ms every half second', clock: (w) => w - Math.min(0.05, w % 0.5), underruns: 0 },
    { name: 'stops for 2 s', clock: (w) => (w < 5 ? w : w < 7 ? 5 : w - 2 + 0.5), underruns: 1 },
  ];
  for (const { name, clock, underruns } of cases) {
    const arrivals = steady(0, Math.round(10 / D)).map(({ at }) => ({ at: clock(at), wall: at }));
    const { plans, policy } = run(arrivals);
    assert.equal(policy.underruns, underruns, name);
    const lastSecond = plans.slice(-Math.round(1 / D));
    assert.ok(lastSecond.every((p) => p.skipped === 0), `${name}: nothing skipped once settled`);
    assert.ok(Math.abs(policy.targetS - target) < 1e-9, `${name}: the target stays`);
    if (underruns === 0) assert.ok(policy.skippedS <= cushion - target + D, `${name}: nothing skipped but the warm-up cushion`);
  }
});
