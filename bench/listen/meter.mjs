// The rig's ears and mouth, in a process of its own so that the browser driver's pauses do not
// shift its timestamps: writes the test signal into the pipe source's FIFO at the wall-clock
// rate (times `rate`, changed by message), and records both the source itself and the sink's
// monitor with identical recorders. It reports each burst found, on the monotonic clock every
// process shares: { stream: 'mic' | 'ear', id, t }, and each dropout in what the browser played:
// { stream: 'ear', dropout: true, t }.
//
// Why record the source too: the time a burst was "said" is taken as when the mic recorder got
// it, not when the bytes went into the FIFO. The FIFO and pipe source's buffering, this
// process's own lateness in writing, and the recorder's latency are then the same on both
// sides and cancel, leaving Lumeno and the browser (up to the sound server taking the audio
// from the browser's stream) in the difference.
import { spawn } from 'node:child_process';
import { openSync, writeSync, closeSync, constants } from 'node:fs';
import { setPriority } from 'node:os';
import { BurstDetector, DropoutDetector, ArrivalClock, sampleAt, kRate } from './signal.mjs';

const [fifo] = process.argv.slice(2);
const now = () => Number(process.hrtime.bigint()) / 1e6;
// The meter's lateness would count as delay: ahead of the programs it measures where allowed.
const raise = (pid) => {
  try {
    setPriority(pid, -10);
  } catch {
    // not allowed without privileges: measure at normal priority
  }
};
raise(0);
let stopping = false;
const send = (message) => process.send && process.send(message);

function record(stream, device) {
  const recorder = spawn('parec', [`--device=${device}`, '--raw', '--format=s16le', `--rate=${kRate}`, '--channels=1',
    '--latency-msec=5'], { stdio: ['ignore', 'pipe', 'pipe'] });
  // Its complaints when the rig is taken down are noise; before that they matter.
  recorder.stderr.on('data', (data) => stopping || process.stderr.write(data));
  raise(recorder.pid);
  const detector = new BurstDetector();
  const dropouts = new DropoutDetector();
  const clock = new ArrivalClock();
  let frames = 0;
  let carry = Buffer.alloc(0);
  let waiting = [];
  let pieces = 0;
  let largestPiece = 0;
  recorder.stdout.on('data', (data) => {
    const t = now();
    const bytes = carry.length ? Buffer.concat([carry, data]) : data;
    const whole = bytes.length - (bytes.length % 2);
    carry = bytes.subarray(whole);
    const samples = new Int16Array(whole / 2);
    for (let i = 0; i < samples.length; i++) samples[i] = bytes.readInt16LE(2 * i);
    frames += samples.length;
    pieces++;
    largestPiece = Math.max(largestPiece, samples.length);
    clock.add(frames, t);
    waiting.push(...detector.push(samples));
    if (stream === 'ear') waiting.push(...dropouts.push(samples).map((frame) => ({ frame, dropout: true })));
    waiting = waiting.filter((found) => {
      const at = clock.timeOf(found.frame);
      if (at === null) return true;
      send(found.dropout ? { stream, dropout: true, t: at } : { stream, id: found.id, t: at });
      return false;
    });
  });
  recorder.on('exit', (code, signal) => stopping || send({ stream, exited: code ?? signal }));
  const stats = () => ({ stream, frames, pieces, largestPiece });
  return { recorder, stats };
}

// Paced by elapsed time, not by timer ticks, so a late tick writes more rather than drifting.
function feed() {
  const fd = openSync(fifo, constants.O_RDWR | constants.O_NONBLOCK);
  let rate = 1;
  let baseTime = now();
  let baseFrame = 0;
  let written = 0;
  let pending = Buffer.alloc(0);
  let maxBehindMs = 0;
  const tick = () => {
    const due = baseFrame + Math.floor(((now() - baseTime) * kRate * rate) / 1000);
    if (due > written) {
      const chunk = Buffer.alloc(2 * (due - written));
      for (let n = written; n < due; n++) chunk.writeInt16LE(sampleAt(n), 2 * (n - written));
      written = due;
      pending = pending.length ? Buffer.concat([pending, chunk]) : chunk;
    }
    try {
      const n = writeSync(fd, pending);
      pending = pending.subarray(n);
    } catch (error) {
      if (error.code !== 'EAGAIN') throw error;
    }
    maxBehindMs = Math.max(maxBehindMs, (pending.length / 2 / kRate) * 1000);
  };
  const timer = setInterval(tick, 2);
  return {
    setRate(next) {
      baseFrame = written;
      baseTime = now();
      rate = next;
    },
    stats: () => ({ written, maxBehindMs }),
    stop() {
      clearInterval(timer);
      closeSync(fd);
    },
  };
}

const mic = record('mic', 'mic');
const ear = record('ear', 'ear.monitor');
const feeder = feed();
process.on('message', (message) => {
  if (message.rate) feeder.setRate(message.rate);
  if (message.stats) send({ stats: [mic.stats(), ear.stats(), feeder.stats()] });
  if (message.stop) {
    stopping = true;
    feeder.stop();
    mic.recorder.kill();
    ear.recorder.kill();
    process.exit(0);
  }
});
process.on('disconnect', () => {
  stopping = true;
  mic.recorder.kill();
  ear.recorder.kill();
  process.exit(0);
});
