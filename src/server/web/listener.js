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
  document.getElementById('status').textContent = text;
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

function createAudioContext(sampleRate) {
  const Context = window.AudioContext || window.webkitAudioContext;
  return new Context({ latencyHint: 'interactive', sampleRate: sampleRate });
}

async function toggleAudio() {
  const button = document.getElementById('toggleBtn');
  if (!isPlaying) {
    stopStatusPoll();
    try {
      audioContext = createAudioContext(44100);
      abortController = new AbortController();
      const response = await fetch('/audio?t=' + Date.now(), { signal: abortController.signal });
      currentReader = response.body.getReader();
      const sampleRate = parseInt(response.headers.get('X-Sample-Rate'), 10) || 44100;
      const channels = parseInt(response.headers.get('X-Channels'), 10) || 1;
      console.log('Server audio format:', sampleRate + 'Hz', channels + ' channel(s)');
      if (audioContext.sampleRate !== sampleRate) {
        await audioContext.close();
        audioContext = createAudioContext(sampleRate);
        console.log('AudioContext created with sample rate:', audioContext.sampleRate);
      }
      if (audioContext.state === 'suspended') await audioContext.resume();
      isPlaying = true;
      button.textContent = 'Stop Listening';
      button.classList.add('stop');
      setStatus('Connected - Listening');
      requestWakeLock();
      processAudioStream(currentReader, sampleRate, channels);
    } catch (error) {
      console.log('Error:', error);
      setStatus('Error: ' + error.message);
      if (audioContext) {
        audioContext.close().catch(() => {});
        audioContext = null;
      }
      isPlaying = false;
    }
  } else {
    isPlaying = false;
    if (currentReader) {
      try {
        await currentReader.cancel();
      } catch (error) {
        console.log('Reader cancel error:', error);
      }
      currentReader = null;
    }
    if (abortController) {
      abortController.abort();
      abortController = null;
    }
    if (audioContext) {
      audioContext.close().catch(() => {});
      audioContext = null;
    }
    button.textContent = 'Start Listening';
    button.className = '';
    button.style.display = 'block';
    setStatus('Stream available - tap button to listen');
    document.getElementById('levelBar').style.width = '0%';
    startStatusPoll();
  }
}

// Splits the stream into whole frames. A read may end anywhere, even inside a sample: the bytes
// after the last whole frame are kept and put in front of the next read, so each byte is decoded
// exactly once.
function makeFrameAssembler(channels) {
  const frameBytes = 2 * channels;
  let carry = new Uint8Array(0);
  return function (chunk) {
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

async function processAudioStream(reader, sampleRate, channels) {
  const context = audioContext;
  let nextPlayTime = context.currentTime;
  const assemble = makeFrameAssembler(channels);
  try {
    while (isPlaying) {
      const { done, value } = await reader.read();
      if (done) {
        // The live stream has no end of its own: a body that ends means the server went away.
        console.log('Stream ended');
        if (isPlaying) setStatus('Connection lost');
        break;
      }
      const bytes = assemble(value);
      if (bytes.length === 0) continue;
      const samples = decodeFrames(bytes, channels);
      const buffer = context.createBuffer(1, samples.length, sampleRate);
      buffer.getChannelData(0).set(samples);
      const source = context.createBufferSource();
      source.buffer = buffer;
      source.connect(context.destination);
      const startTime = Math.max(nextPlayTime, context.currentTime);
      source.start(startTime);
      nextPlayTime = startTime + buffer.duration;
      updateMeter(samples);
    }
  } catch (error) {
    console.log('Stream error:', error);
    if (isPlaying) setStatus('Connection lost');
  }
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
  if (document.visibilityState === 'visible' && isPlaying) requestWakeLock();
});

function isIOS() {
  return /iPad|iPhone|iPod/.test(navigator.userAgent) ||
    (navigator.platform === 'MacIntel' && navigator.maxTouchPoints > 1);
}

requestWakeLock();
if (isIOS()) document.getElementById('iosWarning').style.display = 'block';

window.addEventListener('load', function () {
  checkStreamStatus();
  startStatusPoll();
  connectTranscription();
});
