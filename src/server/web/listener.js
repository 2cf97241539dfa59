// Listener page client: status poll, gap-free PCM playback, level meter and live captions.
// `transcriptionEnabled` is written into the page by the server just before this script.

let audioContext = null;
let isPlaying = false;
let checkInterval = null;
let abortController = null;
let currentReader = null;
let transcriptionEventSource = null;
let transcriptionLines = [];
let currentPartialLine = null;
let isFullscreen = false;
const MAX_LINES = 100;
const PARTIAL_TIMEOUT_MS = 3000;
const STATUS_POLL_MS = 2000;
let partialTimeout = null;
let wakeLock = null;

const pulseStyle = document.createElement('style');
pulseStyle.textContent = '@keyframes pulse { 0% { opacity: 0.4; } 50% { opacity: 1; } 100% { opacity: 0.4; } }';
document.head.appendChild(pulseStyle);

function setStatus(text) {
  const status = document.getElementById('status');
  status.textContent = text;
  status.classList.toggle('reconnecting', text === 'Reconnecting...');
}

async function checkStreamStatus() {
  try {
    const response = await fetch('/status', { cache: 'no-store' });
    const data = await response.json();
    if (isPlaying) return;
    const button = document.getElementById('toggleBtn');
    if (data.status === 'streaming') {
      button.style.display = 'block';
      setStatus('Stream available - tap button to listen');
    } else if (data.status === 'waiting') {
      button.style.display = 'none';
      setStatus('Waiting for stream...');
    }
  } catch (error) {
    console.log('Status check failed:', error);
  }
}

function startStatusPoll() {
  if (checkInterval === null) checkInterval = setInterval(checkStreamStatus, STATUS_POLL_MS);
}

function stopStatusPoll() {
  if (checkInterval !== null) {
    clearInterval(checkInterval);
    checkInterval = null;
  }
}

// Listening states beyond the two of `isPlaying`: 'stopped', 'connecting', 'playing' (audio
// flowing), 'waiting' (connected, no audio for a while), 'reconnecting', 'error'.
let connectionState = 'stopped';
// Bumped by every start and stop: an await that returns to an older session does nothing, so a
// retry or a late response can never restart playback the listener stopped.
let session = 0;
let retryTimer = null;
let retryCount = 0;
let lastAudioAt = 0;
let audioWatchdog = null;
let outputGain = null;
let streamFormat = null;
let connects = 0;
let keepAliveElement = null;
let keepAliveContext = null;
const policy = new PlaybackPolicy();
const RECONNECT_DELAYS_MS = [1000, 2000, 4000, 5000];
const AUDIO_SILENCE_MS = 1000;
const HEAD_TIMEOUT_MS = 5000;
const MIN_SAMPLE_RATE = 8000;
const MAX_SAMPLE_RATE = 192000;
// The compressed stream carries a twentieth of the raw one's bytes, so a crowded venue network
// keeps up; "Full quality" (remembered on the phone) asks for the raw stream instead.
const FULL_QUALITY_KEY = 'lumeno.fullQuality';
// Set when this browser turned out unable to decode Opus: raw from then on, without asking again.
let opusUnavailable = false;
let streamCodec = null;
let opusStream = null;

// Read-only view of playback for tests and the latency benchmark:
//   state          one of the listening states above
//   leadMs         audio scheduled ahead when the last block arrived (what the policy holds)
//   aheadMs        audio scheduled ahead right now
//   targetMs       the lead the policy aims for
//   skippedMs      audio dropped so far to get back to the target
//   underruns      times the schedule ran dry and restarted at the target
//   playbackRate   the current rate trim (1 = none)
//   sampleRate     the stream's announced rate, or 0
//   connects       successful /audio connections since the page loaded
//   codec          'opus' or 'pcm' while connected, else null
//   decoder        'webcodecs' or 'wasm' while Opus is decoded, else null
window.listenerStats = Object.freeze({
  get state() { return connectionState; },
  get leadMs() { return policy.lastLeadS * 1000; },
  get aheadMs() { return audioContext ? policy.aheadAt(audioContext.currentTime) * 1000 : 0; },
  get targetMs() { return policy.targetS * 1000; },
  get skippedMs() { return policy.skippedS * 1000; },
  get underruns() { return policy.underruns; },
  get playbackRate() { return policy.rate; },
  get sampleRate() { return streamFormat ? streamFormat.sampleRate : 0; },
  get connects() { return connects; },
  get codec() { return streamCodec; },
  get decoder() { return opusStream ? opusStream.kind : null; },
});

function createAudioContext(sampleRate) {
  const Context = window.AudioContext || window.webkitAudioContext;
  return new Context({ latencyHint: 0, sampleRate: sampleRate });
}

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

function setButton(text, className) {
  const button = document.getElementById('toggleBtn');
  button.textContent = text;
  button.removeAttribute('aria-label');
  button.className = className;
  button.style.display = 'block';
}

function setLevel(percent) {
  document.getElementById('levelBar').style.width = percent + '%';
}

async function toggleAudio() {
  if (isPlaying) stopListening();
  else await startListening();
}

async function startListening() {
  if (connectionState === 'connecting') return;  // a second tap while the first still connects
  stopStatusPoll();
  const mine = ++session;
  retryCount = 0;
  connectionState = 'connecting';
  try {
    // Created and resumed inside the tap: phones unlock audio only there.
    // At the compressed stream's rate when that is what will play, so the context made in the
    // tap is the one that plays (a phone may not start one made later).
    audioContext = createAudioContext(wantsOpus() ? OPUS_RATE : 44100);
    audioContext.resume().catch(() => {});
    await connectAudio(mine, true);
  } catch (error) {
    if (mine === session) failListening(error);
  }
}

function stopListening() {
  endListening('stopped');
  setStatus('Stream available - tap button to listen');
  startStatusPoll();
}

// Start failed, or the stream is one the page must not play: stop and say why.
function failListening(error) {
  console.log('Error:', error);
  endListening('error');
  setStatus('Error: ' + error.message);
}

function endListening(state) {
  session++;
  isPlaying = false;
  connectionState = state;
  closeConnection();
  if (audioContext) {
    audioContext.close().catch(() => {});
    audioContext = null;
  }
  outputGain = null;
  stopKeepAlive();
  setButton('Start Listening', '');
  setLevel(0);
}

function closeConnection() {
  if (retryTimer !== null) {
    clearTimeout(retryTimer);
    retryTimer = null;
  }
  if (audioWatchdog !== null) {
    clearInterval(audioWatchdog);
    audioWatchdog = null;
  }
  if (currentReader) {
    currentReader.cancel().catch((error) => console.log('Reader cancel error:', error));
    currentReader = null;
  }
  if (opusStream) {
    opusStream.close();
    opusStream = null;
  }
  streamCodec = null;
  if (abortController) {
    abortController.abort();
    abortController = null;
  }
}

// One /audio request. Throws on failure; the caller decides between an error and a retry.
async function connectAudio(mine, first) {
  const controller = new AbortController();
  abortController = controller;
  // A server that takes the connection but never answers must not hold the retries up.
  const headTimeout = setTimeout(() => controller.abort(), HEAD_TIMEOUT_MS);
  const query = wantsOpus() ? 'codec=opus&t=' : 't=';
  let response;
  try {
    response = await fetch('/audio?' + query + Date.now(), { signal: controller.signal, cache: 'no-store' });
  } finally {
    clearTimeout(headTimeout);
  }
  if (mine !== session) return;
  if (!response.ok) throw new Error('HTTP ' + response.status);
  // The server answers with the raw stream when it has no encoder: its head says which it is.
  const codec = /^audio\/ogg/i.test(response.headers.get('Content-Type') || '') ? 'opus' : 'pcm';
  const format = codec === 'opus' ? { sampleRate: OPUS_RATE, channels: 1 } : parseStreamFormat(response.headers);
  console.log('Server audio format:', format.sampleRate + 'Hz', format.channels + ' channel(s)');
  if (audioContext.sampleRate !== format.sampleRate) {
    await audioContext.close();
    if (mine !== session) return;
    audioContext = createAudioContext(format.sampleRate);
    outputGain = null;
    console.log('AudioContext created with sample rate:', audioContext.sampleRate);
  }
  if (audioContext.state !== 'running') await resumeWithin(audioContext, first ? 5000 : 1000);
  if (mine !== session) return;
  if (audioContext.state !== 'running') {
    // A new rate needs a new context, and outside a tap the phone may not let it start.
    throw new StreamFormatError('the audio format changed - tap Start Listening');
  }
  if (!outputGain) outputGain = createOutput(audioContext);
  streamFormat = format;
  streamCodec = codec;
  currentReader = response.body.getReader();
  connects++;
  isPlaying = true;
  setListening();
  lastAudioAt = performance.now();
  audioWatchdog = setInterval(checkAudioFlow, 250);
  requestWakeLock();
  startKeepAlive();
  if (codec === 'opus') processOpusStream(currentReader, mine);
  else processAudioStream(currentReader, format.sampleRate, format.channels, mine);
}

function wantsOpus() {
  const canDecode = typeof AudioDecoder === 'function' || typeof WebAssembly === 'object';
  return !opusUnavailable && !fullQualityChosen() && canDecode;
}

function fullQualityChosen() {
  const box = document.getElementById('fullQuality');
  return box ? box.checked : false;
}

function restoreFullQuality() {
  const box = document.getElementById('fullQuality');
  if (!box) return;
  try {
    box.checked = localStorage.getItem(FULL_QUALITY_KEY) === 'true';
  } catch (error) {
    // Storage may be off in private browsing: the switch still works for this visit.
  }
  box.addEventListener('change', function () {
    try {
      localStorage.setItem(FULL_QUALITY_KEY, box.checked ? 'true' : 'false');
    } catch (error) {}
    // While listening, the other stream takes over at once.
    if (isPlaying && connectionState !== 'reconnecting') switchStream();
  });
}

// Reconnects at once with whatever the page now prefers, keeping the listening session.
function switchStream() {
  const mine = session;
  closeConnection();
  connectAudio(mine, false).catch((error) => {
    if (mine !== session) return;
    if (error instanceof StreamFormatError) failListening(error);
    else scheduleReconnect(mine);
  });
}

async function resumeWithin(context, timeoutMs) {
  await Promise.race([context.resume().catch(() => {}), new Promise((resolve) => setTimeout(resolve, timeoutMs))]);
}

function createOutput(context) {
  const gain = context.createGain();
  gain.connect(context.destination);
  return gain;
}

function setListening() {
  connectionState = 'playing';
  setButton('Stop Listening', 'stop');
  setStatus('Connected - Listening');
}

// Connected but silent for a while (the operator paused, or the network stalls): say so rather
// than claim to be listening, and let the meter fall.
function checkAudioFlow() {
  if (connectionState === 'playing' && performance.now() - lastAudioAt > AUDIO_SILENCE_MS) {
    connectionState = 'waiting';
    setStatus('Waiting for audio...');
    setLevel(0);
  }
}

function scheduleReconnect(mine) {
  if (mine !== session || !isPlaying) return;
  closeConnection();
  connectionState = 'reconnecting';
  setButton('Reconnecting...', 'stop reconnecting');
  document.getElementById('toggleBtn').setAttribute('aria-label', 'Reconnecting... tap to stop listening');
  setStatus('Reconnecting...');
  setLevel(0);
  const delay = RECONNECT_DELAYS_MS[Math.min(retryCount, RECONNECT_DELAYS_MS.length - 1)];
  retryCount++;
  retryTimer = setTimeout(async () => {
    retryTimer = null;
    if (mine !== session || !isPlaying) return;
    try {
      await connectAudio(mine, false);
    } catch (error) {
      if (mine !== session) return;
      if (error instanceof StreamFormatError) failListening(error);
      else {
        console.log('Reconnect failed:', error);
        scheduleReconnect(mine);
      }
    }
  }, delay);
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

async function processAudioStream(reader, sampleRate, channels, mine) {
  const context = audioContext;
  const output = outputGain;
  const assemble = makeFrameAssembler(channels);
  policy.reset();
  try {
    while (mine === session && reader === currentReader) {
      const { done, value } = await reader.read();
      if (mine !== session || reader !== currentReader) return;
      if (done) {
        // The live stream has no end of its own: a body that ends means the server went away.
        // A partial frame left over is never played; the next connection starts aligned.
        console.log('Stream ended', assemble.remainder() > 0 ? '(inside a frame)' : '');
        break;
      }
      const bytes = assemble(value);
      if (bytes.length === 0) continue;
      const samples = decodeFrames(bytes, channels);
      audioArrived(context, output, samples, sampleRate);
    }
  } catch (error) {
    console.log('Stream error:', error);
  }
  // A reader that is no longer the current one was closed on purpose (a switch of stream).
  if (reader === currentReader) scheduleReconnect(mine);
}

function audioArrived(context, output, samples, sampleRate) {
  playBlock(context, output, samples, sampleRate);
  retryCount = 0;
  lastAudioAt = performance.now();
  if (connectionState === 'waiting') setListening();
  updateMeter(samples);
}

// The Ogg Opus stream: each read goes to the decoder, each decoded block to the same playback
// path as raw audio. A browser that cannot decode it falls back to the raw stream at once.
async function processOpusStream(reader, mine) {
  const context = audioContext;
  const output = outputGain;
  policy.reset();
  let undecodable = false;
  const stream = new OggOpusStream(
    (samples, rate) => {
      if (mine !== session || stream !== opusStream) return;
      if (rate !== context.sampleRate) return;  // never played at the wrong speed
      audioArrived(context, output, samples, rate);
    },
    (error) => {
      if (mine !== session || stream !== opusStream) return;
      console.log('Opus stream unplayable, using the raw stream:', error);
      undecodable = true;
      opusUnavailable = true;
      reader.cancel().catch(() => {});
    });
  opusStream = stream;
  try {
    while (mine === session && reader === currentReader) {
      const { done, value } = await reader.read();
      if (mine !== session || reader !== currentReader) return;
      if (done) break;
      stream.push(value);
    }
  } catch (error) {
    if (!undecodable) console.log('Stream error:', error);
  }
  if (mine !== session || reader !== currentReader) return;
  if (undecodable) switchStream();
  else scheduleReconnect(mine);
}

function playBlock(context, output, samples, sampleRate) {
  const plan = policy.place(context.currentTime, samples.length, sampleRate);
  if (plan.frames === 0) return;
  const buffer = context.createBuffer(1, plan.frames, sampleRate);
  buffer.copyToChannel(plan.offset > 0 ? samples.subarray(plan.offset) : samples, 0);
  const source = context.createBufferSource();
  source.buffer = buffer;
  source.playbackRate.value = plan.playbackRate;
  source.connect(output);
  source.start(plan.when);
  if (plan.fade) applyFade(output.gain, plan.fade, context.currentTime);
}

// Ramps the output gain around a junction so that a skip or a restart never clicks.
function applyFade(gain, fade, now) {
  const length = FADE_MS / 1000;
  if (fade.fadeOut) {
    gain.setValueAtTime(1, Math.max(now, fade.at - length));
    gain.linearRampToValueAtTime(0, fade.at);
  } else {
    gain.setValueAtTime(0, fade.at);
  }
  gain.linearRampToValueAtTime(1, fade.at + length);
}

// Phones suspend a page's audio when the screen locks unless the page is playing media: a media
// element playing the context's (silent) stream output keeps the page a media player, and the
// media session gives the lock screen a title and a way to stop. The sound itself goes straight
// to the output, as the element's path would add its own buffering to the delay.
function startKeepAlive() {
  try {
    if (!keepAliveElement) {
      keepAliveElement = document.createElement('audio');
      keepAliveElement.id = 'keepAlive';
      keepAliveElement.setAttribute('playsinline', '');
      document.body.appendChild(keepAliveElement);
    }
    if (audioContext.createMediaStreamDestination && keepAliveContext !== audioContext) {
      keepAliveElement.srcObject = audioContext.createMediaStreamDestination().stream;
      keepAliveContext = audioContext;
    }
    keepAliveElement.play().catch((error) => console.log('Keep-alive play failed:', error));
  } catch (error) {
    console.log('Keep-alive unavailable:', error);
  }
  if (navigator.audioSession) navigator.audioSession.type = 'playback';
  if ('mediaSession' in navigator) {
    try {
      const heading = document.querySelector('h1');
      const title = (heading && heading.textContent.trim()) || document.title;
      navigator.mediaSession.metadata = new MediaMetadata({ title: title, artist: document.title });
      navigator.mediaSession.playbackState = 'playing';
      const stop = () => { if (isPlaying) stopListening(); };
      navigator.mediaSession.setActionHandler('pause', stop);
      navigator.mediaSession.setActionHandler('stop', stop);
    } catch (error) {
      console.log('Media session unavailable:', error);
    }
  }
}

function stopKeepAlive() {
  if (keepAliveElement) {
    keepAliveElement.pause();
    keepAliveElement.srcObject = null;
    keepAliveContext = null;
  }
  if ('mediaSession' in navigator) navigator.mediaSession.playbackState = 'none';
}

function updateMeter(samples) {
  let sum = 0;
  for (let i = 0; i < samples.length; i++) sum += samples[i] * samples[i];
  const rms = samples.length > 0 ? Math.sqrt(sum / samples.length) : 0;
  const level = Math.min(100, Math.max(0, rms * 300));
  document.getElementById('levelBar').style.width = level + '%';
}

function connectTranscription() {
  if (!transcriptionEnabled) return;
  if (transcriptionEventSource) transcriptionEventSource.close();
  transcriptionEventSource = new EventSource('/transcription');
  transcriptionEventSource.onopen = function () {
    console.log('🎤 Transcription stream connected');
    document.getElementById('transcriptionContainer').style.display = 'block';
  };
  transcriptionEventSource.onmessage = function (event) {
    try {
      const message = JSON.parse(event.data);
      if (message.type === 'transcription') updateTranscription(message.text, message.isFinal);
    } catch (error) {
      console.log('Failed to parse transcription:', error);
    }
  };
  transcriptionEventSource.onerror = function (event) {
    console.log('🎤 Transcription stream error:', event);
  };
}

function appendFinalLine(text) {
  transcriptionLines.push({ text: text, isFinal: true, timestamp: Date.now() });
  if (transcriptionLines.length > MAX_LINES) {
    const removed = transcriptionLines.shift();
    console.log('📝 Removed oldest line (MAX_LINES):', removed.text.substring(0, 30));
  }
}

// Whether `next` is `previous` as the server's punctuation pass rewrote it: equal once letter
// case, punctuation and white space are ignored, yet not identical.
function isRefinementOf(previous, next) {
  if (previous === next) return false;
  const bare = (text) => text.toLowerCase().replace(/[\p{P}\s]/gu, '');
  const key = bare(previous);
  return key !== '' && key === bare(next);
}

// The server sends a final a second time when its punctuation pass changed it; the refined text
// takes the first one's place. A refinement comes once per final, so after one the same words
// again are a new line. A partial of the next sentence that is already showing stays.
function replaceRefinedFinal(text) {
  const lastFinal = transcriptionLines.length > 0 ? transcriptionLines[transcriptionLines.length - 1] : null;
  if (!lastFinal || lastFinal.refined || !isRefinementOf(lastFinal.text, text)) return false;
  console.log('📝 Replacing final with its refined text:', text.substring(0, 50));
  lastFinal.text = text;
  lastFinal.refined = true;
  return true;
}

function updateTranscription(text, isFinal) {
  console.log('📝 Update:', String(text).substring(0, 50), isFinal, transcriptionLines.length);
  if (isFinal && typeof text === 'string' && replaceRefinedFinal(text)) {
    renderTranscriptions();
    return;
  }
  if (partialTimeout !== null) {
    clearTimeout(partialTimeout);
    partialTimeout = null;
  }
  if (typeof text !== 'string' || text.trim() === '') {
    console.log('📝 Empty text received, clearing partial only');
    currentPartialLine = null;
    renderTranscriptions();
    return;
  }
  const lastFinal = transcriptionLines.length > 0 ? transcriptionLines[transcriptionLines.length - 1] : null;
  if (isFinal) {
    if (lastFinal && lastFinal.text === text) {
      console.log('📝 Skipping duplicate final:', text.substring(0, 50));
    } else {
      console.log('📝 Adding final line:', text.substring(0, 50));
      appendFinalLine(text);
    }
    currentPartialLine = null;
  } else {
    if (lastFinal && text.startsWith(lastFinal.text)) {
      const rest = text.substring(lastFinal.text.length).trim();
      console.log('📝 Updating partial (new part only):', rest.substring(0, 30));
      currentPartialLine = rest === '' ? null : { text: rest, isFinal: false, timestamp: Date.now() };
    } else {
      console.log('📝 Updating partial (full):', text.substring(0, 50));
      currentPartialLine = { text: text, isFinal: false, timestamp: Date.now() };
    }
    partialTimeout = setTimeout(function () {
      partialTimeout = null;
      if (currentPartialLine) {
        console.log('⚠️ FORCING partial to final after timeout:', currentPartialLine.text.substring(0, 50));
        appendFinalLine(currentPartialLine.text);
        currentPartialLine = null;
        renderTranscriptions();
      }
    }, PARTIAL_TIMEOUT_MS);
  }
  console.log('📝 Total lines now:', transcriptionLines.length);
  renderTranscriptions();
}

function renderTranscriptions() {
  const scroller = document.getElementById('transcriptionScroller');
  if (scroller) renderToContainer(scroller, false);
  if (isFullscreen) {
    const fullscreen = document.getElementById('fullscreenScroller');
    if (fullscreen) renderToContainer(fullscreen, true);
  }
}

function renderToContainer(container, fullscreen) {
  const fontSize = fullscreen ? '24px' : '16px';
  const margin = fullscreen ? '12px' : '8px';
  const lineStyle = 'color: #ddd; text-align: left; line-height: 1.6; font-size: ' + fontSize + '; margin-bottom: ' + margin + ';';
  if (transcriptionLines.length === 0 && !currentPartialLine) {
    container.innerHTML = '<div class="transcription-line" style="color: #888; font-size: ' +
      (fullscreen ? '18px' : '14px') + '; text-align: center;">Waiting for speech...</div>';
  } else {
    let html = '';
    const count = transcriptionLines.length;
    transcriptionLines.forEach(function (line, index) {
      const opacity = Math.min(1, 0.3 + (index / count) * 0.7);
      html += '<div class="transcription-line" style="' + lineStyle + ' opacity: ' + opacity +
        '; transition: opacity 0.5s ease;">' + escapeHtml(line.text) + '</div>';
    });
    if (currentPartialLine) {
      html += '<div class="transcription-line partial" style="' + lineStyle + ' opacity: 1;">' +
        escapeHtml(currentPartialLine.text) +
        ' <span style="color: #666; animation: pulse 1.5s ease-in-out infinite;">...</span></div>';
    } else {
      html += '<div class="listening-marker" style="color: #666; opacity: 0.6; text-align: center; font-size: ' +
        (fullscreen ? '14px' : '11px') + '; margin-top: 10px; animation: pulse 1.5s ease-in-out infinite;">● Listening...</div>';
    }
    container.innerHTML = html;
  }
  const box = container.parentElement;
  if (box) box.scrollTop = box.scrollHeight;
}

function escapeHtml(text) {
  const div = document.createElement('div');
  div.appendChild(document.createTextNode(text));
  return div.innerHTML;
}

function toggleFullscreen() {
  if (!transcriptionEnabled) return;
  isFullscreen = !isFullscreen;
  const overlay = document.getElementById('fullscreenOverlay');
  if (isFullscreen) {
    overlay.style.display = 'flex';
    renderTranscriptions();
  } else {
    overlay.style.display = 'none';
  }
}

document.addEventListener('keydown', function (event) {
  if (event.key === 'Escape' && isFullscreen) toggleFullscreen();
});

async function requestWakeLock() {
  if (!('wakeLock' in navigator)) return;
  try {
    wakeLock = await navigator.wakeLock.request('screen');
  } catch (error) {
    wakeLock = null;
  }
}

document.addEventListener('visibilitychange', function () {
  if (document.visibilityState !== 'visible' || !isPlaying) return;
  requestWakeLock();
  // A phone may have suspended the audio while the screen was off; coming back is a good moment.
  if (audioContext && audioContext.state !== 'running') audioContext.resume().catch(() => {});
});

function isIOS() {
  return /iPad|iPhone|iPod/.test(navigator.userAgent) ||
    (navigator.platform === 'MacIntel' && navigator.maxTouchPoints > 1);
}

requestWakeLock();
if (isIOS()) document.getElementById('iosWarning').style.display = 'block';

window.addEventListener('load', function () {
  restoreFullQuality();
  checkStreamStatus();
  startStatusPoll();
  connectTranscription();
});
