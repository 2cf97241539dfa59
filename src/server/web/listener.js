// Listening: the status poll, the audio connection with its retries, playback on the audio
// context, the level meter, and what keeps a phone playing. All of it is one object's state
// (`listener`); the page's other parts are captions.js (captions), pcm.js and ogg_opus.js (the
// two streams' bytes to samples) and playback.js (where each block goes on the output clock).
// `transcriptionEnabled` is written into the page by the server just before these scripts.

const STATUS_POLL_MS = 2000;
const RECONNECT_DELAYS_MS = [1000, 2000, 4000, 5000];
const AUDIO_SILENCE_MS = 1000;
const HEAD_TIMEOUT_MS = 5000;
// Audio keeps arriving but the output clock has not moved for this long: nothing is playing it.
// (WebKit's clock may stand still for two seconds while its output starts.)
const OUTPUT_STALL_MS = 4000;
// A keep-alive element whose play() has not settled by then is given up (WebKitGTK's never does).
const KEEP_ALIVE_START_MS = 1000;
const CANNOT_PLAY = 'This browser cannot play the stream';
// The compressed stream carries a twentieth of the raw one's bytes, so a crowded venue network
// keeps up; "Full quality" (remembered on the phone) asks for the raw stream instead.
const FULL_QUALITY_KEY = 'lumeno.fullQuality';

function setStatus(text) {
  const status = document.getElementById('status');
  status.textContent = text;
  status.classList.toggle('reconnecting', text === 'Reconnecting...');
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

function updateMeter(samples) {
  let sum = 0;
  for (let i = 0; i < samples.length; i++) sum += samples[i] * samples[i];
  const rms = samples.length > 0 ? Math.sqrt(sum / samples.length) : 0;
  setLevel(Math.min(100, Math.max(0, rms * 300)));
}

function setCaptionsOnlyButton(pressed) {
  const button = document.getElementById('captionsOnlyBtn');
  button.hidden = !transcriptionEnabled;
  button.setAttribute('aria-pressed', pressed ? 'true' : 'false');
}

// This browser, or this page of it, cannot play audio at all.
class CannotPlayError extends Error {}

function createAudioContext(sampleRate) {
  const Context = window.AudioContext || window.webkitAudioContext;
  if (!Context) throw new CannotPlayError('no Web Audio');
  return new Context({ latencyHint: 0, sampleRate: sampleRate });
}

async function resumeWithin(context, timeoutMs) {
  await Promise.race([context.resume().catch(() => {}), new Promise((resolve) => setTimeout(resolve, timeoutMs))]);
}

function createOutput(context) {
  const gain = context.createGain();
  gain.connect(context.destination);
  return gain;
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

function fullQualityChosen() {
  const box = document.getElementById('fullQuality');
  return box ? box.checked : false;
}

class Listener {
  constructor() {
    this.audioContext = null;
    this.isPlaying = false;
    this.checkInterval = null;
    this.abortController = null;
    this.currentReader = null;
    this.wakeLock = null;
    // Listening states beyond the two of `isPlaying`: 'stopped', 'connecting', 'playing' (audio
    // flowing), 'waiting' (connected, no audio for a while), 'reconnecting', 'error', 'unplayable'
    // (nothing in this browser plays the stream), 'captions' (captions only: no audio, no poll).
    this.connectionState = 'stopped';
    // Bumped by every start and stop: an await that returns to an older session does nothing, so
    // a retry or a late response can never restart playback the listener stopped.
    this.session = 0;
    this.retryTimer = null;
    this.retryCount = 0;
    this.lastAudioAt = 0;
    this.audioWatchdog = null;
    this.outputGain = null;
    this.streamFormat = null;
    this.connects = 0;
    this.keepAliveElement = null;
    this.keepAliveContext = null;
    this.keepAliveUnavailable = false;
    // The output clock's last reading and when it last moved (performance.now()).
    this.clockReading = 0;
    this.clockMovedAt = 0;
    this.policy = new PlaybackPolicy();
    // Set when this browser turned out unable to decode Opus: raw from then on, without asking again.
    this.opusUnavailable = false;
    this.streamCodec = null;
    this.opusStream = null;
  }

  async checkStreamStatus() {
    try {
      const response = await fetch('/status', { cache: 'no-store' });
      const data = await response.json();
      if (this.isPlaying || this.connectionState === 'captions') return;
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

  startStatusPoll() {
    if (this.checkInterval === null) this.checkInterval = setInterval(() => this.checkStreamStatus(), STATUS_POLL_MS);
  }

  stopStatusPoll() {
    if (this.checkInterval !== null) {
      clearInterval(this.checkInterval);
      this.checkInterval = null;
    }
  }

  async toggleAudio() {
    if (this.isPlaying) this.stopListening();
    else await this.startListening();
  }

  async startListening() {
    if (this.connectionState === 'connecting') return;  // a second tap while the first still connects
    if (this.connectionState === 'captions') setCaptionsOnlyButton(false);
    this.stopStatusPoll();
    const mine = ++this.session;
    this.retryCount = 0;
    this.connectionState = 'connecting';
    try {
      // Created and resumed inside the tap: phones unlock audio only there.
      // At the compressed stream's rate when that is what will play, so the context made in the
      // tap is the one that plays (a phone may not start one made later).
      const opus = this.wantsOpus();
      if (opus && typeof WebAssembly === 'object') loadWasmDecoderScript().catch(() => {});  // meanwhile
      this.audioContext = createAudioContext(opus ? OPUS_RATE : 44100);
      this.audioContext.resume().catch(() => {});
      await this.connectAudio(mine, true);
    } catch (error) {
      if (mine !== this.session) return;
      if (error instanceof CannotPlayError) this.cannotPlay(error);
      else this.failListening(error);
    }
  }

  stopListening() {
    this.endListening('stopped');
    setStatus('Stream available - tap button to listen');
    this.startStatusPoll();
  }

  // Start failed, or the stream is one the page must not play: stop and say why.
  failListening(error) {
    console.log('Error:', error);
    this.endListening('error');
    setStatus('Error: ' + error.message);
  }

  // Every way of playing failed here: say so in words rather than look as if it played. Captions
  // go on; the listener may try again.
  cannotPlay(error) {
    console.log('Cannot play the stream:', error);
    this.endListening('unplayable');
    setStatus(CANNOT_PLAY);
  }

  // Captions without sound: only the event stream stays open (the status poll stops too), so
  // such a listener costs the venue's network the captions alone. Pressed again, the page is back
  // to offering the stream.
  toggleCaptionsOnly() {
    if (this.connectionState === 'captions') {
      this.connectionState = 'stopped';
      setCaptionsOnlyButton(false);
      setStatus('Checking stream availability...');
      this.checkStreamStatus();
      this.startStatusPoll();
      return;
    }
    if (this.isPlaying || this.connectionState === 'connecting' || this.connectionState === 'reconnecting') this.endListening('stopped');
    this.stopStatusPoll();
    this.connectionState = 'captions';
    document.getElementById('toggleBtn').style.display = 'none';
    setCaptionsOnlyButton(true);
    this.showCaptionsState();
    this.requestWakeLock();
  }

  showCaptionsState() {
    if (this.connectionState !== 'captions') return;
    setStatus(captions.connected ? 'Captions only - no sound' : 'Connecting to captions...');
  }

  endListening(state) {
    this.session++;
    this.isPlaying = false;
    this.connectionState = state;
    this.closeConnection();
    if (this.audioContext) {
      this.audioContext.close().catch(() => {});
      this.audioContext = null;
    }
    this.outputGain = null;
    this.stopKeepAlive();
    setButton('Start Listening', '');
    setLevel(0);
  }

  closeConnection() {
    if (this.retryTimer !== null) {
      clearTimeout(this.retryTimer);
      this.retryTimer = null;
    }
    if (this.audioWatchdog !== null) {
      clearInterval(this.audioWatchdog);
      this.audioWatchdog = null;
    }
    if (this.currentReader) {
      this.currentReader.cancel().catch((error) => console.log('Reader cancel error:', error));
      this.currentReader = null;
    }
    if (this.opusStream) {
      this.opusStream.close();
      this.opusStream = null;
    }
    this.streamCodec = null;
    if (this.abortController) {
      this.abortController.abort();
      this.abortController = null;
    }
  }

  // One /audio request. Throws on failure; the caller decides between an error and a retry.
  async connectAudio(mine, first) {
    const controller = new AbortController();
    this.abortController = controller;
    // A server that takes the connection but never answers must not hold the retries up.
    const headTimeout = setTimeout(() => controller.abort(), HEAD_TIMEOUT_MS);
    const query = this.wantsOpus() ? 'codec=opus&t=' : 't=';
    let response;
    try {
      response = await fetch('/audio?' + query + Date.now(), { signal: controller.signal, cache: 'no-store' });
    } finally {
      clearTimeout(headTimeout);
    }
    if (mine !== this.session) return;
    if (!response.ok) throw new Error('HTTP ' + response.status);
    // The server answers with the raw stream when it has no encoder: its head says which it is.
    const codec = /^audio\/ogg/i.test(response.headers.get('Content-Type') || '') ? 'opus' : 'pcm';
    const format = codec === 'opus' ? { sampleRate: OPUS_RATE, channels: 1 } : parseStreamFormat(response.headers);
    console.log('Server audio format:', format.sampleRate + 'Hz', format.channels + ' channel(s)');
    if (this.audioContext.sampleRate !== format.sampleRate) {
      await this.audioContext.close();
      if (mine !== this.session) return;
      this.audioContext = createAudioContext(format.sampleRate);
      this.outputGain = null;
      console.log('AudioContext created with sample rate:', this.audioContext.sampleRate);
    }
    if (this.audioContext.state !== 'running') await resumeWithin(this.audioContext, first ? 5000 : 1000);
    if (mine !== this.session) return;
    if (this.audioContext.state !== 'running') {
      if (first) throw new CannotPlayError('the audio output did not start');
      // A new rate needs a new context, and outside a tap the phone may not let it start.
      throw new StreamFormatError('the audio format changed - tap Start Listening');
    }
    if (!this.outputGain) this.outputGain = createOutput(this.audioContext);
    this.streamFormat = format;
    this.streamCodec = codec;
    this.currentReader = response.body.getReader();
    this.connects++;
    this.isPlaying = true;
    this.setListening();
    this.lastAudioAt = performance.now();
    this.clockReading = this.audioContext.currentTime;
    this.clockMovedAt = this.lastAudioAt;
    this.audioWatchdog = setInterval(() => this.checkAudioFlow(), 250);
    this.requestWakeLock();
    this.startKeepAlive();
    if (codec === 'opus') this.processOpusStream(this.currentReader, mine);
    else this.processAudioStream(this.currentReader, format.sampleRate, format.channels, mine);
  }

  wantsOpus() {
    const canDecode = typeof AudioDecoder === 'function' || typeof WebAssembly === 'object';
    return !this.opusUnavailable && !fullQualityChosen() && canDecode;
  }

  restoreFullQuality() {
    const box = document.getElementById('fullQuality');
    if (!box) return;
    try {
      box.checked = localStorage.getItem(FULL_QUALITY_KEY) === 'true';
    } catch (error) {
      // Storage may be off in private browsing: the switch still works for this visit.
    }
    box.addEventListener('change', () => {
      try {
        localStorage.setItem(FULL_QUALITY_KEY, box.checked ? 'true' : 'false');
      } catch (error) {}
      // While listening, the other stream takes over at once.
      if (this.isPlaying && this.connectionState !== 'reconnecting') this.switchStream();
    });
  }

  // Reconnects at once with whatever the page now prefers, keeping the listening session.
  switchStream() {
    const mine = this.session;
    this.closeConnection();
    this.connectAudio(mine, false).catch((error) => {
      if (mine !== this.session) return;
      if (error instanceof StreamFormatError) this.failListening(error);
      else this.scheduleReconnect(mine);
    });
  }

  setListening() {
    this.connectionState = 'playing';
    setButton('Stop Listening', 'stop');
    setStatus('Connected - Listening');
  }

  // Connected but silent for a while (the operator paused, or the network stalls): say so rather
  // than claim to be listening, and let the meter fall. Audio that arrives while the output clock
  // stands still is heard by no one.
  checkAudioFlow() {
    const now = performance.now();
    if (this.connectionState === 'playing' && now - this.lastAudioAt > AUDIO_SILENCE_MS) {
      this.connectionState = 'waiting';
      setStatus('Waiting for audio...');
      setLevel(0);
    }
    const reading = this.audioContext ? this.audioContext.currentTime : 0;
    if (reading !== this.clockReading) {
      this.clockReading = reading;
      this.clockMovedAt = now;
    } else if (this.connectionState === 'playing' && now - this.clockMovedAt > OUTPUT_STALL_MS) {
      this.cannotPlay(new Error('the audio output stopped'));
    }
  }

  scheduleReconnect(mine) {
    if (mine !== this.session || !this.isPlaying) return;
    this.closeConnection();
    this.connectionState = 'reconnecting';
    setButton('Reconnecting...', 'stop reconnecting');
    document.getElementById('toggleBtn').setAttribute('aria-label', 'Reconnecting... tap to stop listening');
    setStatus('Reconnecting...');
    setLevel(0);
    const delay = RECONNECT_DELAYS_MS[Math.min(this.retryCount, RECONNECT_DELAYS_MS.length - 1)];
    this.retryCount++;
    this.retryTimer = setTimeout(async () => {
      this.retryTimer = null;
      if (mine !== this.session || !this.isPlaying) return;
      try {
        await this.connectAudio(mine, false);
      } catch (error) {
        if (mine !== this.session) return;
        if (error instanceof StreamFormatError) this.failListening(error);
        else {
          console.log('Reconnect failed:', error);
          this.scheduleReconnect(mine);
        }
      }
    }, delay);
  }

  async processAudioStream(reader, sampleRate, channels, mine) {
    const context = this.audioContext;
    const output = this.outputGain;
    const assemble = makeFrameAssembler(channels);
    this.policy.reset();
    try {
      while (mine === this.session && reader === this.currentReader) {
        const { done, value } = await reader.read();
        if (mine !== this.session || reader !== this.currentReader) return;
        if (done) {
          // The live stream has no end of its own: a body that ends means the server went away.
          // A partial frame left over is never played; the next connection starts aligned.
          console.log('Stream ended', assemble.remainder() > 0 ? '(inside a frame)' : '');
          break;
        }
        const bytes = assemble(value);
        if (bytes.length === 0) continue;
        const samples = decodeFrames(bytes, channels);
        this.audioArrived(context, output, samples, sampleRate);
      }
    } catch (error) {
      console.log('Stream error:', error);
    }
    // A reader that is no longer the current one was closed on purpose (a switch of stream).
    if (reader === this.currentReader) this.scheduleReconnect(mine);
  }

  audioArrived(context, output, samples, sampleRate) {
    this.playBlock(context, output, samples, sampleRate);
    this.retryCount = 0;
    this.lastAudioAt = performance.now();
    if (this.connectionState === 'waiting') this.setListening();
    updateMeter(samples);
  }

  // The Ogg Opus stream: each read goes to the decoder, each decoded block to the same playback
  // path as raw audio. A browser that cannot decode it falls back to the raw stream at once.
  async processOpusStream(reader, mine) {
    const context = this.audioContext;
    const output = this.outputGain;
    this.policy.reset();
    let undecodable = false;
    const stream = new OggOpusStream(
      (samples, rate) => {
        if (mine !== this.session || stream !== this.opusStream) return;
        if (rate !== context.sampleRate) return;  // never played at the wrong speed
        this.audioArrived(context, output, samples, rate);
      },
      (error) => {
        if (mine !== this.session || stream !== this.opusStream) return;
        console.log('Opus stream unplayable, using the raw stream:', error);
        undecodable = true;
        this.opusUnavailable = true;
        reader.cancel().catch(() => {});
      },
      { decoders: ['wasm', 'webcodecs'] });
    this.opusStream = stream;
    try {
      while (mine === this.session && reader === this.currentReader) {
        const { done, value } = await reader.read();
        if (mine !== this.session || reader !== this.currentReader) return;
        if (done) break;
        stream.push(value);
      }
    } catch (error) {
      if (!undecodable) console.log('Stream error:', error);
    }
    if (mine !== this.session || reader !== this.currentReader) return;
    if (undecodable) this.switchStream();
    else this.scheduleReconnect(mine);
  }

  playBlock(context, output, samples, sampleRate) {
    const plan = this.policy.place(context.currentTime, samples.length, sampleRate, performance.now() / 1000);
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

  // Phones suspend a page's audio when the screen locks unless the page is playing media: a media
  // element playing the context's (silent) stream output keeps the page a media player, and the
  // media session gives the lock screen a title and a way to stop. The sound itself goes straight
  // to the output, as the element's path would add its own buffering to the delay. An element
  // that does not start within a second is given up for the rest of the visit: WebKitGTK's
  // play() never settles, and the idle media pipeline it leaves upsets the audio clock.
  startKeepAlive() {
    if (!this.keepAliveUnavailable) {
      try {
        if (!this.keepAliveElement) {
          this.keepAliveElement = document.createElement('audio');
          this.keepAliveElement.id = 'keepAlive';
          this.keepAliveElement.setAttribute('playsinline', '');
          document.body.appendChild(this.keepAliveElement);
        }
        if (this.audioContext.createMediaStreamDestination && this.keepAliveContext !== this.audioContext) {
          this.keepAliveElement.srcObject = this.audioContext.createMediaStreamDestination().stream;
          this.keepAliveContext = this.audioContext;
        }
        const element = this.keepAliveElement;
        let settled = false;
        const giveUp = setTimeout(() => {
          if (settled) return;
          console.log('Keep-alive element did not start: given up');
          this.keepAliveUnavailable = true;
          this.stopKeepAlive();
        }, KEEP_ALIVE_START_MS);
        element.play().then(() => {
          settled = true;
          clearTimeout(giveUp);
        }, (error) => {
          settled = true;
          clearTimeout(giveUp);
          // A stop while it was starting is not a failure.
          if (error.name !== 'AbortError') console.log('Keep-alive play failed:', error);
        });
      } catch (error) {
        console.log('Keep-alive unavailable:', error);
        this.keepAliveUnavailable = true;
      }
    }
    if (navigator.audioSession) navigator.audioSession.type = 'playback';
    if ('mediaSession' in navigator) {
      try {
        const heading = document.querySelector('h1');
        const title = (heading && heading.textContent.trim()) || document.title;
        navigator.mediaSession.metadata = new MediaMetadata({ title: title, artist: document.title });
        navigator.mediaSession.playbackState = 'playing';
        const stop = () => { if (this.isPlaying) this.stopListening(); };
        navigator.mediaSession.setActionHandler('pause', stop);
        navigator.mediaSession.setActionHandler('stop', stop);
      } catch (error) {
        console.log('Media session unavailable:', error);
      }
    }
  }

  stopKeepAlive() {
    const element = this.keepAliveElement;
    if (element) {
      element.pause();
      element.srcObject = null;
      this.keepAliveContext = null;
      if (this.keepAliveUnavailable) {
        element.remove();
        this.keepAliveElement = null;
      }
    }
    if ('mediaSession' in navigator) navigator.mediaSession.playbackState = 'none';
  }

  async requestWakeLock() {
    if (!('wakeLock' in navigator)) return;
    try {
      this.wakeLock = await navigator.wakeLock.request('screen');
    } catch (error) {
      this.wakeLock = null;
    }
  }

  // Back on screen: the wake lock was released when the page was hidden, and a phone may have
  // suspended the audio while the screen was off.
  pageShown() {
    if (this.connectionState === 'captions') this.requestWakeLock();
    if (!this.isPlaying) return;
    this.requestWakeLock();
    if (this.audioContext && this.audioContext.state !== 'running') this.audioContext.resume().catch(() => {});
  }
}

const listener = new Listener();
const captions = new Captions(transcriptionEnabled, () => listener.showCaptionsState());

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
//   decoder        'wasm' or 'webcodecs' while Opus is decoded, else null
window.listenerStats = Object.freeze({
  get state() { return listener.connectionState; },
  get leadMs() { return listener.policy.lastLeadS * 1000; },
  get aheadMs() { return listener.audioContext ? listener.policy.aheadAt(listener.audioContext.currentTime) * 1000 : 0; },
  get targetMs() { return listener.policy.targetS * 1000; },
  get skippedMs() { return listener.policy.skippedS * 1000; },
  get underruns() { return listener.policy.underruns; },
  get playbackRate() { return listener.policy.rate; },
  get sampleRate() { return listener.streamFormat ? listener.streamFormat.sampleRate : 0; },
  get connects() { return listener.connects; },
  get codec() { return listener.streamCodec; },
  get decoder() { return listener.opusStream ? listener.opusStream.kind : null; },
});

// The page's controls call these by name.
function toggleAudio() {
  return listener.toggleAudio();
}

function toggleFullscreen() {
  captions.toggleFullscreen();
}

function toggleCaptionsOnly() {
  listener.toggleCaptionsOnly();
}

function changeCaptionSize(steps) {
  captions.changeSize(steps);
}

document.addEventListener('keydown', function (event) {
  if (event.key === 'Escape' && captions.isFullscreen) toggleFullscreen();
});

document.addEventListener('visibilitychange', function () {
  if (document.visibilityState === 'visible') listener.pageShown();
});

function isIOS() {
  return /iPad|iPhone|iPod/.test(navigator.userAgent) ||
    (navigator.platform === 'MacIntel' && navigator.maxTouchPoints > 1);
}

listener.requestWakeLock();
if (isIOS()) document.getElementById('iosWarning').style.display = 'block';

window.addEventListener('load', function () {
  listener.restoreFullQuality();
  setCaptionsOnlyButton(false);
  captions.restoreSize();
  listener.checkStreamStatus();
  listener.startStatusPoll();
  captions.connectTranscription();
});
