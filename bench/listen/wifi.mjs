// A venue's Wi-Fi between the browser and Lumeno, on loopback: a TCP proxy that holds back what
// Lumeno sends the browser as a crowded access point and a phone in power save would.
//
// The profile is fixed, so figures from different days compare:
// - every packet (each piece the proxy reads from Lumeno) is delayed by a Pareto-distributed time
//   with a median of 5 ms and a long tail: 1 % of packets take 60 ms or more, 0.1 % 259 ms or
//   more (cut at 1 s). Order is kept, as TCP delivers it: a late packet holds up those behind it.
// - every 10 s, the link stalls for 300 ms (a phone that dozes off, a burst of interference):
//   nothing arrives, and what was held back arrives at once when it ends.
// The pseudo-random delays come from a fixed seed.
import { createServer, connect } from 'node:net';

// Pareto type I, P(X > x) = (scale / x) ^ shape: shape and scale solve median = 5 ms and
// P(X >= 60 ms) = 1 %.
export const kShape = Math.log(50) / Math.log(12);
export const kScaleMs = 5 / 2 ** (1 / kShape);
export const kMaxDelayMs = 1000;
export const kStallEveryMs = 10000;
export const kStallMs = 300;

// The delay for a uniform draw `u` in [0, 1).
export function packetDelayMs(u) {
  return Math.min(kMaxDelayMs, kScaleMs * (1 - u) ** (-1 / kShape));
}

// When a packet read at `readMs` (since the link opened) reaches the browser: its own delay, not
// before the packet ahead of it, and not during a stall.
export function releaseMs(readMs, delayMs, previousMs) {
  let at = Math.max(readMs + delayMs, previousMs);
  const phase = at % kStallEveryMs;
  if (at >= kStallEveryMs && phase < kStallMs) at += kStallMs - phase;
  return at;
}

// Mulberry32: small, and the same sequence on every run.
function random(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = Math.imul(a ^ (a >>> 15), 1 | a);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// `now()` is the caller's clock in ms; `stallEnds(fromMs, toMs)` lists the stalls' ends on it.
export async function startWifiLink(targetPort, now, seed = 1) {
  const draw = random(seed);
  const opened = now();
  const sockets = new Set();
  const server = createServer((client) => {
    const upstream = connect(targetPort, '127.0.0.1');
    client.setNoDelay(true);
    upstream.setNoDelay(true);
    // One queue per connection, drained in order: timers of their own could fire out of order.
    const queue = [];
    let previous = 0;
    let timer = null;
    let ended = false;
    const elapsed = () => now() - opened;
    const drain = () => {
      timer = null;
      while (queue.length > 0 && queue[0].at <= elapsed()) client.write(queue.shift().data);
      if (queue.length > 0) timer = setTimeout(drain, queue[0].at - elapsed());
      else if (ended) client.end();
    };
    upstream.on('data', (data) => {
      previous = releaseMs(elapsed(), packetDelayMs(draw()), previous);
      queue.push({ at: previous, data });
      if (timer === null) drain();
    });
    // What Lumeno sent before it closed still arrives, after its delay.
    upstream.on('end', () => {
      ended = true;
      if (timer === null) drain();
    });
    client.on('data', (data) => upstream.write(data));
    const close = () => {
      clearTimeout(timer);
      sockets.delete(client);
      client.destroy();
      upstream.destroy();
    };
    sockets.add(client);
    client.on('close', close).on('error', close);
    upstream.on('error', close);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    port: server.address().port,
    stallEnds(fromMs, toMs) {
      const ends = [];
      for (let at = opened + kStallEveryMs + kStallMs; at <= toMs; at += kStallEveryMs) if (at >= fromMs) ends.push(at);
      return ends;
    },
    close() {
      for (const socket of sockets) socket.destroy();
      server.close();
    },
  };
}
