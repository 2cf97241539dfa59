// The raw stream: its announced format and its bytes as mono float samples. Pure, like
// playback.js: no DOM, no audio objects.

const MIN_SAMPLE_RATE = 8000;
const MAX_SAMPLE_RATE = 192000;

// A head the page cannot play correctly: retrying would only fetch it again.
class StreamFormatError extends Error {}

// The announced format, or a StreamFormatError. An absent header means the documented default; a
// present one must be a plain integer in range, as anything else would play at the wrong speed
// or as noise.
function parseStreamFormat(headers) {
  const field = (name, fallback, valid) => {
    const text = headers.get(name);
    if (text === null) return fallback;
    const value = /^\s*\d{1,9}\s*$/.test(text) ? Number(text) : NaN;
    if (!valid(value)) throw new StreamFormatError('unsupported audio format (' + name + ': ' + text.slice(0, 20) + ')');
    return value;
  };
  return {
    sampleRate: field('X-Sample-Rate', 44100, (v) => v >= MIN_SAMPLE_RATE && v <= MAX_SAMPLE_RATE),
    channels: field('X-Channels', 1, (v) => v === 1 || v === 2),
  };
}

// Splits the stream into whole frames. A read may end anywhere, even inside a sample: the bytes
// after the last whole frame are kept and put in front of the next read, so each byte is decoded
// exactly once. `remainder()` tells how many are held.
function makeFrameAssembler(channels) {
  const frameBytes = 2 * channels;
  let carry = new Uint8Array(0);
  const assemble = function (chunk) {
    let bytes = chunk;
    if (carry.length > 0) {
      bytes = new Uint8Array(carry.length + chunk.length);
      bytes.set(carry, 0);
      bytes.set(chunk, carry.length);
    }
    const whole = bytes.length - (bytes.length % frameBytes);
    carry = bytes.slice(whole);
    return bytes.subarray(0, whole);
  };
  assemble.remainder = () => carry.length;
  return assemble;
}

// Decodes whole frames of little-endian signed 16-bit PCM into mono floats.
function decodeFrames(bytes, channels) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const frames = bytes.byteLength / (2 * channels);
  const samples = new Float32Array(frames);
  if (channels === 2) {
    for (let i = 0; i < frames; i++) {
      const left = view.getInt16(i * 4, true) / 32768;
      const right = view.getInt16(i * 4 + 2, true) / 32768;
      samples[i] = (left + right) / 2;
    }
  } else {
    for (let i = 0; i < frames; i++) samples[i] = view.getInt16(i * 2, true) / 32768;
  }
  return samples;
}
