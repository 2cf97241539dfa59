// Ogg Opus on the listener page: the stream's pages split into packets, its OpusHead read, and
// the audio packets decoded by the WebAssembly decoder Lumeno serves at /opus-decoder.js or, where
// that cannot run, by the browser's own decoder (WebCodecs). Out come blocks of mono float samples
// at 48 kHz for the same playback path as the raw stream.
//
// A decoder is kept for what it does, not for being offered: one that throws, reports an error or
// gives no audio for a second is dropped for the next, and the stream fails (the page then takes
// the raw stream) only when none is left. The bundled decoder comes first as it is the same code
// on every phone; a browser's own may be missing (Chromium and Firefox offer it only to secure
// pages) or broken (WebKitGTK 2.50's takes the page down on its second output).

const OGG_CRC_TABLE = (function () {
  const table = new Uint32Array(256);
  for (let i = 0; i < 256; i++) {
    let r = i << 24;
    for (let bit = 0; bit < 8; bit++) r = r & 0x80000000 ? (r << 1) ^ 0x04c11db7 : r << 1;
    table[i] = r >>> 0;
  }
  return table;
})();

// The page checksum: CRC-32 with polynomial 0x04c11db7, not reflected, over the page with its
// checksum field read as zero.
function oggChecksum(page) {
  let crc = 0;
  for (let i = 0; i < page.length; i++) {
    const byte = i >= 22 && i < 26 ? 0 : page[i];
    crc = ((crc << 8) ^ OGG_CRC_TABLE[((crc >>> 24) ^ byte) & 0xff]) >>> 0;
  }
  return crc;
}

const OGG_HEADER_BYTES = 27;
// A packet larger than this is not speech from Lumeno: it is dropped rather than buffered.
const OGG_MAX_PACKET_BYTES = 65536;

// Splits a byte stream into Ogg packets. A read may end anywhere; bytes are kept until their page
// is whole. A page whose checksum fails, or bytes that are not a page at all, are skipped up to
// the next capture pattern, so a damaged stream loses what was damaged and nothing more.
class OggPacketReader {
  constructor() {
    this.pending = new Uint8Array(0);
    this.partial = [];
    this.partialBytes = 0;
    this.skippedBytes = 0;
  }

  // Returns the packets the bytes completed: { data, serial, granule (of the page the packet
  // ends, as a Number), bos }.
  push(chunk) {
    const bytes = new Uint8Array(this.pending.length + chunk.length);
    bytes.set(this.pending, 0);
    bytes.set(chunk, this.pending.length);
    const packets = [];
    let at = 0;
    for (;;) {
      const start = findCapture(bytes, at);
      this.skippedBytes += start - at;
      at = start;
      if (bytes.length - at < OGG_HEADER_BYTES) break;
      const segments = bytes[at + 26];
      const headerBytes = OGG_HEADER_BYTES + segments;
      if (bytes.length - at < headerBytes) break;
      let bodyBytes = 0;
      for (let i = 0; i < segments; i++) bodyBytes += bytes[at + OGG_HEADER_BYTES + i];
      if (bytes.length - at < headerBytes + bodyBytes) break;
      const page = bytes.subarray(at, at + headerBytes + bodyBytes);
      const view = new DataView(page.buffer, page.byteOffset, page.byteLength);
      if (page[4] !== 0 || view.getUint32(22, true) !== oggChecksum(page)) {
        // Not a page after all: look for the next capture pattern one byte on.
        this.skippedBytes += 1;
        at += 1;
        continue;
      }
      this.readPage(page, view, segments, packets);
      at += page.length;
    }
    this.pending = bytes.slice(at);
    return packets;
  }

  readPage(page, view, segments, packets) {
    const flags = page[5];
    const continued = (flags & 0x01) !== 0;
    const granule = view.getUint32(6, true) + view.getUint32(10, true) * 4294967296;
    const serial = view.getUint32(14, true);
    // A continued page after a lost page, or a fresh page while a packet is open: the open
    // fragment can never be completed correctly, so it is dropped.
    if (!continued && this.partial.length > 0) this.resetPartial();
    let dropLeading = continued && this.partial.length === 0;
    let offset = OGG_HEADER_BYTES + segments;
    for (let i = 0; i < segments; i++) {
      const lace = page[OGG_HEADER_BYTES + i];
      if (!dropLeading) this.addFragment(page.subarray(offset, offset + lace));
      offset += lace;
      if (lace < 255) {
        if (!dropLeading && this.partialBytes <= OGG_MAX_PACKET_BYTES) {
          const ended = i === segments - 1 || !this.moreEndsAfter(page, i, segments);
          packets.push({ data: this.takePacket(), serial: serial, granule: ended ? granule : null, bos: (flags & 0x02) !== 0 });
        } else {
          this.resetPartial();
        }
        dropLeading = false;
      }
    }
  }

  // Whether another packet ends on this page after lacing value `i` (the page's granule
  // position belongs to the last packet that ends on it).
  moreEndsAfter(page, i, segments) {
    for (let j = i + 1; j < segments; j++) if (page[OGG_HEADER_BYTES + j] < 255) return true;
    return false;
  }

  addFragment(fragment) {
    if (this.partialBytes > OGG_MAX_PACKET_BYTES) return;
    this.partial.push(fragment.slice());
    this.partialBytes += fragment.length;
  }

  takePacket() {
    const data = new Uint8Array(this.partialBytes);
    let at = 0;
    for (const fragment of this.partial) {
      data.set(fragment, at);
      at += fragment.length;
    }
    this.resetPartial();
    return data;
  }

  resetPartial() {
    this.partial = [];
    this.partialBytes = 0;
  }
}

function findCapture(bytes, from) {
  for (let i = from; i + 4 <= bytes.length; i++)
    if (bytes[i] === 0x4f && bytes[i + 1] === 0x67 && bytes[i + 2] === 0x67 && bytes[i + 3] === 0x53) return i;
  // Keep a possible start of a pattern cut by the read.
  return Math.max(from, bytes.length - 3);
}

function startsWithText(data, text) {
  if (data.length < text.length) return false;
  for (let i = 0; i < text.length; i++) if (data[i] !== text.charCodeAt(i)) return false;
  return true;
}

// Reads an identification header; null when the packet is not one this page can play
// (mono or stereo, channel mapping family 0).
function parseOpusHead(data) {
  if (!startsWithText(data, 'OpusHead') || data.length < 19) return null;
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  const head = {
    version: data[8],
    channels: data[9],
    preSkip: view.getUint16(10, true),
    inputSampleRate: view.getUint32(12, true),
    mappingFamily: data[18],
    bytes: data,
  };
  if (head.version >> 4 !== 0 || head.channels < 1 || head.channels > 2 || head.mappingFamily !== 0) return null;
  return head;
}

// Averages the decoded channels into one, as the raw stream's stereo is played.
function mixToMono(channels, frames) {
  if (channels.length === 1) return channels[0].slice(0, frames);
  const mono = new Float32Array(frames);
  for (let i = 0; i < frames; i++) mono[i] = (channels[0][i] + channels[1][i]) / 2;
  return mono;
}

const OPUS_RATE = 48000;
// A decoder that has had packets for this long without giving any audio is given up, and so is
// one not ready this long after it was asked for (the bundled one's script is a few hundred KB).
const DECODER_SILENCE_MS = 1000;
const DECODER_OPEN_MS = 3000;

// A decoder that crashes takes the page with it, so nothing on the page can catch it: the
// browser's own decoder is marked as on trial in the phone's storage until it has given a second
// of audio, and a later visit that finds the mark knows the trial died and leaves it alone.
const WEBCODECS_TRIAL_KEY = 'lumeno.webCodecsTrial';
const webCodecsTrial = {
  read() {
    try {
      return localStorage.getItem(WEBCODECS_TRIAL_KEY);
    } catch (error) {
      return null;  // no storage (private browsing): every visit is a first one
    }
  },
  write(value) {
    try {
      if (value === null) localStorage.removeItem(WEBCODECS_TRIAL_KEY);
      else localStorage.setItem(WEBCODECS_TRIAL_KEY, value);
    } catch (error) {}
  },
};

// The browser's own decoder. Resolves to null where WebCodecs or its Opus support is missing, or
// where it died on an earlier visit.
async function createWebCodecsOpusDecoder(head, onSamples, onError) {
  if (typeof AudioDecoder !== 'function' || typeof EncodedAudioChunk !== 'function') return null;
  const trial = webCodecsTrial.read();
  if (trial === 'started') {
    console.log('Not using the browser\'s Opus decoder: the page died while trying it before');
    return null;
  }
  const config = { codec: 'opus', sampleRate: OPUS_RATE, numberOfChannels: head.channels, description: head.bytes };
  try {
    const support = await AudioDecoder.isConfigSupported(config);
    if (!support.supported) return null;
  } catch (error) {
    return null;
  }
  const decoder = new AudioDecoder({
    output: (audio) => {
      try {
        const frames = audio.numberOfFrames;
        const channels = [];
        for (let c = 0; c < audio.numberOfChannels; c++) {
          const plane = new Float32Array(frames);
          audio.copyTo(plane, { planeIndex: c, format: 'f32-planar' });
          channels.push(plane);
        }
        onSamples(mixToMono(channels, frames), audio.sampleRate);
      } finally {
        audio.close();
      }
    },
    error: (error) => onError(error),
  });
  decoder.configure(config);
  let timestamp = 0;
  let onTrial = trial !== 'works';
  if (onTrial) webCodecsTrial.write('started');
  return {
    kind: 'webcodecs',
    decode(packet) {
      if (decoder.state !== 'configured') return;
      decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp: timestamp, data: packet }));
      timestamp += 20000;  // only ordering matters to the page; the real duration comes out
      if (onTrial && timestamp >= 1000000) {
        onTrial = false;
        webCodecsTrial.write('works');
      }
    },
    close() {
      // Closed by the page, so whatever the trial showed, it did not crash.
      if (onTrial) webCodecsTrial.write(null);
      if (decoder.state !== 'closed') decoder.close();
    },
  };
}

let wasmDecoderScript = null;

function loadWasmDecoderScript() {
  if (window['opus-decoder']) return Promise.resolve(window['opus-decoder']);
  if (!wasmDecoderScript) {
    wasmDecoderScript = new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = '/opus-decoder.js';
      script.charset = 'UTF-8';
      script.onload = () => (window['opus-decoder'] ? resolve(window['opus-decoder']) : reject(new Error('decoder script without a decoder')));
      script.onerror = () => {
        wasmDecoderScript = null;
        reject(new Error('decoder script failed to load'));
      };
      document.head.appendChild(script);
    });
  }
  return wasmDecoderScript;
}

// The bundled WebAssembly decoder, decoding on the page's thread (a packet takes well under a
// millisecond). Resolves to null when it cannot be loaded.
async function createWasmOpusDecoder(head, onSamples, onError) {
  let decoder;
  try {
    const library = await loadWasmDecoderScript();
    decoder = new library.OpusDecoder({ channels: head.channels, preSkip: head.preSkip, sampleRate: OPUS_RATE });
    await decoder.ready;
  } catch (error) {
    console.log('WebAssembly Opus decoder unavailable:', error);
    return null;
  }
  return {
    kind: 'wasm',
    decode(packet) {
      try {
        const result = decoder.decodeFrame(packet);
        if (result.samplesDecoded > 0) onSamples(mixToMono(result.channelData, result.samplesDecoded), result.sampleRate);
      } catch (error) {
        onError(error);
      }
    },
    close() {
      decoder.free();
    },
  };
}

const OPUS_DECODERS = { wasm: createWasmOpusDecoder, webcodecs: createWebCodecsOpusDecoder };

// One Ogg Opus stream from bytes to samples. `onSamples(Float32Array, rate)` gets each decoded
// block; `onError(error)` a stream the page cannot play (a header it cannot play, or no decoder
// that works). A new stream in the same body (a server that restarted its encoder) reconfigures
// the decoder. Options: `decoders`, the order to try them in (names of OPUS_DECODERS); `now`, a
// millisecond clock; `openMs`, how long a decoder may take to be ready.
class OggOpusStream {
  constructor(onSamples, onError, options = {}) {
    this.reader = new OggPacketReader();
    this.onSamples = onSamples;
    this.onError = onError;
    this.order = options.decoders || ['wasm', 'webcodecs'];
    this.now = options.now || (() => performance.now());
    this.openMs = options.openMs || DECODER_OPEN_MS;
    this.decoder = null;
    this.head = null;
    this.tried = [];
    this.serial = null;
    this.headerPackets = 0;
    this.queue = [];
    this.opening = null;
    this.generation = null;
    this.failed = false;
    // When the oldest packet still without audio from the decoder went in, or null.
    this.waitingSince = null;
  }

  get kind() {
    return this.decoder ? this.decoder.kind : null;
  }

  push(chunk) {
    if (this.failed) return;
    for (const packet of this.reader.push(chunk)) this.handlePacket(packet);
  }

  handlePacket(packet) {
    if (packet.bos || packet.serial !== this.serial) {
      const head = parseOpusHead(packet.data);
      if (!head) {
        // Audio of a stream whose header never came (or cannot be played): nothing to decode with.
        if (packet.bos) this.fail(new Error('unsupported Opus stream'));
        return;
      }
      this.serial = packet.serial;
      this.headerPackets = 1;
      this.queue = [];
      this.head = head;
      this.tried = [];
      this.open();
      return;
    }
    if (this.headerPackets === 1) {
      this.headerPackets = 2;  // OpusTags: nothing the page shows
      return;
    }
    if (this.opening) this.queue.push(packet.data);
    else if (this.decoder) this.feed(packet.data);
  }

  feed(data) {
    const now = this.now();
    if (this.waitingSince !== null && now - this.waitingSince > DECODER_SILENCE_MS) {
      this.decoderFailed(this.generation, new Error('no audio for a second'));
      this.queue.push(data);  // for the next decoder
      return;
    }
    if (this.waitingSince === null) this.waitingSince = now;
    this.decoder.decode(data);
  }

  // Opens the first decoder in the order that has not been tried on this stream yet; packets wait
  // in the queue meanwhile.
  open() {
    if (this.decoder) this.decoder.close();
    this.decoder = null;
    this.waitingSince = null;
    const kind = this.order.find((name) => !this.tried.includes(name));
    if (!kind) {
      this.opening = null;
      return this.fail(new Error('no Opus decoder works in this browser'));
    }
    this.tried.push(kind);
    const generation = { kind: kind };
    this.generation = generation;
    const made = OPUS_DECODERS[kind](this.head,
      (samples, rate) => this.decoded(generation, samples, rate),
      (error) => this.decoderFailed(generation, error));
    const opening = Promise.race([made, new Promise((resolve) => setTimeout(resolve, this.openMs, null))]);
    this.opening = opening;
    opening.then((decoder) => {
      if (this.opening !== opening) {
        if (decoder) decoder.close();
        else made.then((late) => late && late.close());
        return;
      }
      if (!decoder) made.then((late) => late && late.close());
      this.opening = null;
      if (!decoder) return this.open();
      console.log('Decoding the Opus stream with', kind === 'wasm' ? 'the bundled WebAssembly decoder' : 'the browser\'s own decoder');
      this.decoder = decoder;
      const queued = this.queue;
      this.queue = [];
      for (const data of queued) if (this.decoder === decoder) this.feed(data);
    });
  }

  decoded(generation, samples, rate) {
    if (generation !== this.generation || this.failed) return;
    this.waitingSince = null;
    this.onSamples(samples, rate);
  }

  // A decoder that throws, errs or stays silent: the next one takes the stream over where it is.
  decoderFailed(generation, error) {
    if (generation !== this.generation || this.failed) return;
    console.log('Opus decoder', generation.kind, 'failed:', error);
    this.generation = null;
    this.open();
  }

  fail(error) {
    if (this.failed) return;
    this.failed = true;
    this.close();
    this.onError(error);
  }

  close() {
    this.opening = null;
    this.generation = null;
    this.queue = [];
    if (this.decoder) this.decoder.close();
    this.decoder = null;
  }
}

if (typeof module === 'object' && module.exports) module.exports = { OggPacketReader, OggOpusStream, OPUS_DECODERS, parseOpusHead, oggChecksum, mixToMono };
