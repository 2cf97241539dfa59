// Where each block of a live stream goes on the output clock. Pure: no audio objects, no clock of
// its own, no idea how the samples were decoded, so the rules can be tested as tables and reused
// for any codec that yields float blocks with their rate.
//
// The controlled quantity is the lead: how far the schedule runs ahead of the output clock when a
// block arrives (its low point, just before the block is added). The policy holds it at the
// target: a stall ends in a burst, and the burst's surplus is skipped (oldest frames first) so the
// listener is back at the target delay at once; a source clock that runs fast or slow shows as a
// slowly growing or shrinking lead, which a playback-rate trim of at most 0.5 % absorbs; a schedule
// that ran dry restarts at the target rather than playing each late block the moment it lands.
//
// Some output clocks do not move smoothly: WebKit's stalls for tens of milliseconds and then
// jumps as far ahead, most of all in a context's first seconds. Given the wall clock with each
// arrival, the policy counts the lead from the output clock's recent high point, so a stall does
// not look like surplus to skip and the jump after it does not run the schedule dry.

// 40 ms of lead to start with: with the capture block and the output's own latency on top, more
// would take the listener past the tenth of a second that lip reading tolerates. A page whose
// blocks arrive later than that (a phone busy with layout or garbage collection) underruns; each
// such short dropout raises the target by a step, up to 80 ms, and a minute without one lowers it
// again, so each listener ends up with the least delay its own device can hold.
const TARGET_DELAY_MS = 40;
const MAX_TARGET_DELAY_MS = 80;
const TARGET_STEP_MS = 10;
const TARGET_RELAX_S = 60;
// A dropout longer than this is an outage (a stall, a restart), not jitter: it leaves the target.
const JITTER_GAP_S = 0.25;
// A connection's first seconds are its roughest (the decoder and the page's code warming up, the
// first reads arriving in a heap, an output that starts in fits): they are played with the
// largest target, whose surplus is skipped once they are over, and their dropouts say nothing
// about the device, so they leave the target alone.
const WARM_UP_S = 3;
// Surplus the trim may work off by itself before frames are skipped: jitter of a re-arming block
// sits below this, a stall's backlog far above it.
const SKIP_MARGIN_MS = 20;
const MAX_RATE_TRIM = 0.005;
// Lead error at which the trim is at its limit; below it the trim is proportional.
const TRIM_FULL_SCALE_MS = 10;
const TRIM_DEADBAND_MS = 1;
// Time constant of the lead average the trim follows: long enough to ignore arrival jitter.
const LEAD_SMOOTHING_S = 2;
// A lead below one render quantum or so means the block would start late: treat it as dry.
const UNDERRUN_GUARD_MS = 3;
// Length of each side of the fade around a junction where audio was skipped or restarted.
const FADE_MS = 4;
const RECENT_BLOCKS = 15;
// A clock moving in render quanta of a few milliseconds is not stalling.
const CLOCK_STEP_TOLERANCE_MS = 10;
// How fast a past jump is forgotten (seconds of lag per second), and the lag beyond which the
// clock has stopped (an outage, handled as such) rather than stalled between jumps.
const CLOCK_PEAK_DECAY = 0.005;
const MAX_CLOCK_LAG_MS = 150;

// An option or its default; not `??`, which older iPhones' Safari cannot parse (and one syntax
// error stops the page's whole script).
function optionOr(value, fallback) {
  return value === undefined || value === null ? fallback : value;
}

class PlaybackPolicy {
  constructor(options = {}) {
    this.baseTargetS = optionOr(options.targetMs, TARGET_DELAY_MS) / 1000;
    this.maxTargetS = Math.max(this.baseTargetS, optionOr(options.maxTargetMs, MAX_TARGET_DELAY_MS) / 1000);
    this.targetS = this.baseTargetS;
    this.targetChangedAt = null;
    this.skipMarginS = optionOr(options.skipMarginMs, SKIP_MARGIN_MS) / 1000;
    this.maxTrim = optionOr(options.maxTrim, MAX_RATE_TRIM);
    this.fadeS = FADE_MS / 1000;
    this.skippedS = 0;
    this.underruns = 0;
    this.reset();
  }

  // Forget the schedule (a new connection, or a new output clock). Counters stay.
  reset() {
    this.nextTime = null;
    this.smoothedLeadS = null;
    this.lastArrival = null;
    this.rate = 1;
    this.lastLeadS = 0;
    this.junctionPending = false;
    this.recentBlocks = [];
    this.startedAt = null;
    this.peakOffsetS = null;
    this.lastWallS = null;
    this.cushionLeft = true;
  }

  // Seconds of audio scheduled beyond `now`.
  aheadAt(now) {
    return this.nextTime === null ? 0 : Math.max(0, this.nextTime - now);
  }

  // One block of `frames` frames at `sampleRate` arrived at output time `now` (seconds), and at
  // `wallS` on a steady wall clock when the caller has one.
  // Returns what to play: `frames` frames starting `offset` frames into the block, at output time
  // `when`, with `playbackRate`; the block's first `skipped` frames are dropped. `fade` is null or
  // { at, fadeOut }: the gain is 0 at `at` and back up FADE_MS later; with `fadeOut` it first ramps
  // down over the FADE_MS before `at` (the audio before the junction is still to be heard).
  place(now, frames, sampleRate, wallS) {
    const duration = frames / sampleRate;
    this.noteBlock(duration);
    const lag = this.clockLag(now, wallS);
    let lead = this.nextTime === null ? -Infinity : this.nextTime - now - lag;
    let rearmed = false;
    this.relaxTarget(now);
    if (this.startedAt === null) this.startedAt = now;
    const warming = now - this.startedAt < WARM_UP_S;
    // Dry by the clock as it reads now: the schedule has run out.
    if (this.nextTime === null || this.nextTime - now < UNDERRUN_GUARD_MS / 1000) {
      if (this.nextTime !== null) {
        this.underruns++;
        if (now - this.nextTime < JITTER_GAP_S && !warming) this.raiseTarget(now);
      }
      const target = warming ? this.maxTargetS : this.targetS;
      this.nextTime = now + lag + target;
      lead = target;
      this.smoothedLeadS = target;
      this.rate = 1;
      this.junctionPending = false;
      rearmed = true;
    } else {
      this.smoothLead(now, lead);
    }
    this.lastArrival = now;
    this.lastLeadS = lead;

    // In a steady stream a block lands with the target lead and raises it by one usual block.
    // Anything beyond that plus the margin is backlog (a stall's burst, possibly in one long read,
    // or a fast source the trim could not hold): its oldest frames go, so that the next usual
    // arrival finds the target lead again.
    const usual = this.usualBlockS();
    const target = warming ? this.maxTargetS : this.targetS;
    // Once warm, the cushion goes at once: no margin until the lead is back at the target.
    if (!warming && lead <= target + 0.002) this.cushionLeft = false;
    const margin = !warming && this.cushionLeft ? 0 : this.skipMarginS;
    let skipS = 0;
    if (lead + duration > target + margin + usual) skipS = lead + duration - (target + usual);
    let skipped = Math.min(frames, Math.max(0, Math.round(skipS * sampleRate)));
    // A sliver left after a skip would be all fade: drop it too.
    if (skipped > 0 && (frames - skipped) / sampleRate < 2 * this.fadeS) skipped = frames;
    if (skipped > 0) {
      this.skippedS += skipped / sampleRate;
      this.smoothedLeadS = target;
      this.rate = 1;
      if (!rearmed) this.junctionPending = true;
    }
    const kept = frames - skipped;
    const when = this.nextTime;
    if (kept === 0) return { when, offset: skipped, frames: 0, skipped, playbackRate: this.rate, rearmed, fade: null };

    let fade = null;
    if (rearmed) {
      fade = { at: when, fadeOut: false };
    } else if (this.junctionPending) {
      fade = { at: when, fadeOut: when - this.fadeS >= now };
    }
    this.junctionPending = false;
    if (skipped === 0 && !rearmed) this.rate = this.trimFor(this.smoothedLeadS, target);
    this.nextTime = when + kept / sampleRate / this.rate;
    return { when, offset: skipped, frames: kept, skipped, playbackRate: this.rate, rearmed, fade };
  }

  // How far the output clock is behind its recent high point (relative to the wall clock).
  clockLag(now, wallS) {
    if (wallS === undefined) return 0;
    const offset = now - wallS;
    const elapsed = this.lastWallS === null ? 0 : Math.max(0, wallS - this.lastWallS);
    this.lastWallS = wallS;
    this.peakOffsetS = this.peakOffsetS === null ? offset : Math.max(offset, this.peakOffsetS - CLOCK_PEAK_DECAY * elapsed);
    const lag = this.peakOffsetS - offset;
    if (lag > MAX_CLOCK_LAG_MS / 1000) {
      this.peakOffsetS = offset;
      return 0;
    }
    return Math.max(0, lag - CLOCK_STEP_TOLERANCE_MS / 1000);
  }

  // The usual block length is the median of the last few reads: a backlog read is long and a
  // split one short, and neither may move it.
  noteBlock(duration) {
    this.recentBlocks.push(duration);
    if (this.recentBlocks.length > RECENT_BLOCKS) this.recentBlocks.shift();
  }

  usualBlockS() {
    const sorted = [...this.recentBlocks].sort((a, b) => a - b);
    return sorted[Math.floor((sorted.length - 1) / 2)];
  }

  raiseTarget(now) {
    this.targetS = Math.min(this.maxTargetS, this.targetS + TARGET_STEP_MS / 1000);
    this.targetChangedAt = now;
  }

  // The surplus a lower target leaves is within the skip margin: the trim works it off.
  relaxTarget(now) {
    if (this.targetS <= this.baseTargetS) return;
    if (this.targetChangedAt === null || now < this.targetChangedAt) this.targetChangedAt = now;
    if (now - this.targetChangedAt < TARGET_RELAX_S) return;
    this.targetS = Math.max(this.baseTargetS, this.targetS - TARGET_STEP_MS / 1000);
    this.targetChangedAt = now;
  }

  smoothLead(now, lead) {
    if (this.smoothedLeadS === null || this.lastArrival === null) {
      this.smoothedLeadS = lead;
      return;
    }
    const alpha = 1 - Math.exp(-Math.max(0, now - this.lastArrival) / LEAD_SMOOTHING_S);
    this.smoothedLeadS += alpha * (lead - this.smoothedLeadS);
  }

  // Faster when the lead runs long, slower when it runs short; never beyond the limit.
  trimFor(leadS, target) {
    const errorMs = (leadS - target) * 1000;
    if (Math.abs(errorMs) <= TRIM_DEADBAND_MS) return 1;
    const scaled = Math.max(-1, Math.min(1, errorMs / TRIM_FULL_SCALE_MS));
    return 1 + scaled * this.maxTrim;
  }
}
