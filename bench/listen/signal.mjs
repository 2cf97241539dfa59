// The test signal and how to find it again: a quiet hum with a short tone burst every half
// second. Each burst's frequency names it (one of kIds), so a burst heard seconds late, or after
// others were skipped, is still paired with the one that was written. The hum never stops, so
// silence in what the browser played is a dropout.

export const kRate = 48000;
export const kPeriodFrames = kRate / 2;
export const kIds = 24;
const kBurstFrames = kRate / 50; // 20 ms
const kFadeFrames = kRate / 500; // 2 ms, at the end only: the onset stays sharp for timing
const kAmplitude = 0.6;
// Goertzel window: skips the first half millisecond, whose sharp onset spreads over every bin.
const kSkipFrames = kRate / 2000;
const kWindowFrames = 768; // 16 ms: bins 62.5 Hz wide against 150 Hz spacing
const kThreshold = 0.05 * 32768;
const kHoldoffFrames = kRate / 4;
// The hum: well under the burst threshold and below the lowest burst's band.
const kHumFrequency = 300;
const kHumAmplitude = 0.02;
// A dropout: at least 10 ms in which no sample reaches a fifth of the hum's peak. A skip's fade
// dips for a few milliseconds; a schedule that ran dry is silent for tens.
const kSilentLevel = 0.2 * kHumAmplitude * 32768;
const kDropoutFrames = kRate / 100;

export function burstFrequency(id) {
  return 600 + 150 * id;
}

// The sample for frame `n` of the written stream (mono s16).
export function sampleAt(n) {
  const offset = n % kPeriodFrames;
  const id = Math.floor(n / kPeriodFrames) % kIds;
  const hum = kHumAmplitude * Math.sin((2 * Math.PI * kHumFrequency * n) / kRate);
  if (offset >= kBurstFrames) return Math.round(32767 * hum);
  const fade = Math.min(1, (kBurstFrames - offset) / kFadeFrames);
  return Math.round(32767 * (hum + kAmplitude * fade * Math.sin((2 * Math.PI * burstFrequency(id) * offset) / kRate)));
}

export function burstIdAt(n) {
  return Math.floor(n / kPeriodFrames) % kIds;
}

function goertzelPower(samples, frequency) {
  const coefficient = 2 * Math.cos((2 * Math.PI * frequency) / kRate);
  let s1 = 0;
  let s2 = 0;
  for (const x of samples) {
    const s0 = x + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// Finds bursts in a recorded stream fed in pieces of any size. `push` returns the bursts whose
// analysis window completed in this piece: { frame, id } with `frame` the onset's index in the
// stream; id is -1 when no frequency clearly wins (a burst cut by a skip or a fade).
export class BurstDetector {
  constructor() {
    this.frame = 0;
    this.holdoffUntil = 0;
    this.pending = null;
  }

  push(samples) {
    const found = [];
    for (let i = 0; i < samples.length; i++, this.frame++) {
      const x = samples[i];
      if (this.pending) {
        if (this.frame >= this.pending.frame + kSkipFrames) this.pending.window.push(x);
        if (this.pending.window.length === kWindowFrames) {
          found.push({ frame: this.pending.frame, id: identify(this.pending.window) });
          this.pending = null;
        }
      } else if (this.frame >= this.holdoffUntil && Math.abs(x) >= kThreshold) {
        this.pending = { frame: this.frame, window: [] };
        this.holdoffUntil = this.frame + kHoldoffFrames;
      }
    }
    return found;
  }
}

// Finds dropouts in a recorded stream fed in pieces of any size: `push` returns the frame index
// where each run of at least kDropoutFrames silent frames began, once the run is that long.
export class DropoutDetector {
  constructor() {
    this.frame = 0;
    this.silentSince = null;
    this.reported = false;
  }

  push(samples) {
    const found = [];
    for (let i = 0; i < samples.length; i++, this.frame++) {
      if (Math.abs(samples[i]) >= kSilentLevel) {
        this.silentSince = null;
        continue;
      }
      if (this.silentSince === null) {
        this.silentSince = this.frame;
        this.reported = false;
      }
      if (!this.reported && this.frame + 1 - this.silentSince >= kDropoutFrames) {
        found.push(this.silentSince);
        this.reported = true;
      }
    }
    return found;
  }
}

function identify(window) {
  const powers = Array.from({ length: kIds }, (_, id) => goertzelPower(window, burstFrequency(id)));
  const order = powers.map((p, id) => [p, id]).sort((a, b) => b[0] - a[0]);
  return order[0][0] > 8 * order[1][0] ? order[0][1] : -1;
}

// When a recorded frame became available, from when the pieces holding it arrived. A piece that
// arrives at time t ending at frame e bounds the arrival of any frame f at t + (f - e) / rate,
// if frames come at the nominal rate; the tightest bound over nearby pieces, before and after,
// removes the scheduling noise of each read, and of a recorder that was kept waiting for a
// moment. Nearby means within a quarter second, so a source running 0.5 % fast bends the line
// by at most about a millisecond.
export class ArrivalClock {
  constructor(spanFrames = kRate / 4) {
    this.span = spanFrames;
    this.pieces = [];
  }

  // `endFrame` is the stream index one past the piece's last frame, `timeMs` its arrival.
  add(endFrame, timeMs) {
    this.pieces.push({ end: endFrame, t: timeMs });
    while (this.pieces.length > 0 && this.pieces[0].end < endFrame - 4 * this.span) this.pieces.shift();
  }

  // The arrival time of `frame`, or null until pieces up to a span past it have arrived.
  timeOf(frame) {
    const last = this.pieces[this.pieces.length - 1];
    if (!last || last.end < frame + this.span) return null;
    let best = Infinity;
    for (const p of this.pieces) {
      if (p.end < frame - this.span || p.end > frame + this.span) continue;
      best = Math.min(best, p.t + ((frame - p.end) * 1000) / kRate);
    }
    return Number.isFinite(best) ? best : null;
  }
}

// Pairs each heard burst with the latest written burst of the same id before it: right while the
// delay stays below one cycle of ids (kIds half-seconds, 12 s). Returns { heardMs, writtenMs,
// delayMs } for the pairs found.
export function pairBursts(written, heard) {
  const pairs = [];
  for (const h of heard) {
    if (h.id < 0) continue;
    let match = null;
    for (const w of written) {
      if (w.id === h.id && w.t < h.t && (!match || w.t > match.t)) match = w;
    }
    if (match && h.t - match.t < (kIds * kPeriodFrames * 1000) / kRate) {
      pairs.push({ heardMs: h.t, writtenMs: match.t, delayMs: h.t - match.t });
    }
  }
  return pairs;
}
