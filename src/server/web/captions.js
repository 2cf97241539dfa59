// Live captions: the caption history with its merge rules (pure: no DOM, timers injected, so the
// rules can be tested as tables), the text size the listener chose, and the view that fills the
// history from the event stream and renders it into the caption box and the full-screen overlay.

const MAX_LINES = 100;
const PARTIAL_TIMEOUT_MS = 3000;
// Text sizes in px, smallest first; the first is the default. Full screen shows at least
// FULLSCREEN_MIN_SIZE_PX.
const CAPTION_SIZES_PX = [16, 20, 24, 32, 40];
const FULLSCREEN_MIN_SIZE_PX = 24;
const CAPTION_SIZE_KEY = 'lumeno.captionSize';
// The oldest lines fade, but never below what stays readable against the background.
const OLDEST_LINE_OPACITY = 0.55;

// The step index for a size stored on the phone; anything that is not one of the steps (an old
// value, a hand edit) gives the default.
function captionSizeStep(stored) {
  const step = CAPTION_SIZES_PX.indexOf(Number(stored));
  return stored !== null && step >= 0 ? step : 0;
}

// Oldest first: from OLDEST_LINE_OPACITY up towards 1 for the newest.
function lineOpacity(index, count) {
  return Math.min(1, OLDEST_LINE_OPACITY + (index / count) * (1 - OLDEST_LINE_OPACITY));
}

// Whether `next` is `previous` as the server's punctuation pass rewrote it: equal once letter
// case, punctuation and white space are ignored, yet not identical.
function isRefinementOf(previous, next) {
  if (previous === next) return false;
  const bare = (text) => text.toLowerCase().replace(/[\p{P}\s]/gu, '');
  const key = bare(previous);
  return key !== '' && key === bare(next);
}

// Final lines (oldest first, at most MAX_LINES) and the line being recognised. `onChange` runs
// after every change that shows.
class CaptionHistory {
  constructor(options = {}) {
    this.transcriptionLines = [];
    // Finals appended so far, dropped ones included: the view keys its lines by this count.
    this.finalCount = 0;
    this.currentPartialLine = null;
    this.partialTimeout = null;
    this.onChange = options.onChange || function () {};
    this.setTimer = options.setTimer || ((task, ms) => setTimeout(task, ms));
    this.clearTimer = options.clearTimer || ((timer) => clearTimeout(timer));
    this.now = options.now || (() => Date.now());
  }

  lastFinal() {
    const lines = this.transcriptionLines;
    return lines.length > 0 ? lines[lines.length - 1] : null;
  }

  appendFinalLine(text) {
    this.transcriptionLines.push({ text: text, isFinal: true, timestamp: this.now() });
    this.finalCount++;
    if (this.transcriptionLines.length > MAX_LINES) {
      const removed = this.transcriptionLines.shift();
      console.log('📝 Removed oldest line (MAX_LINES):', removed.text.substring(0, 30));
    }
  }

  // The server sends a final a second time when its punctuation pass changed it; the refined text
  // takes the first one's place. A refinement comes once per final, so after one the same words
  // again are a new line. A partial of the next sentence that is already showing stays.
  replaceRefinedFinal(text) {
    const lastFinal = this.lastFinal();
    if (!lastFinal || lastFinal.refined || !isRefinementOf(lastFinal.text, text)) return false;
    console.log('📝 Replacing final with its refined text:', text.substring(0, 50));
    lastFinal.text = text;
    lastFinal.refined = true;
    return true;
  }

  updateTranscription(text, isFinal) {
    console.log('📝 Update:', String(text).substring(0, 50), isFinal, this.transcriptionLines.length);
    if (isFinal && typeof text === 'string' && this.replaceRefinedFinal(text)) {
      this.onChange();
      return;
    }
    if (this.partialTimeout !== null) {
      this.clearTimer(this.partialTimeout);
      this.partialTimeout = null;
    }
    if (typeof text !== 'string' || text.trim() === '') {
      console.log('📝 Empty text received, clearing partial only');
      this.currentPartialLine = null;
      this.onChange();
      return;
    }
    const lastFinal = this.lastFinal();
    if (isFinal) {
      if (lastFinal && lastFinal.text === text) {
        console.log('📝 Skipping duplicate final:', text.substring(0, 50));
      } else {
        console.log('📝 Adding final line:', text.substring(0, 50));
        this.appendFinalLine(text);
      }
      this.currentPartialLine = null;
    } else {
      if (lastFinal && text.startsWith(lastFinal.text)) {
        const rest = text.substring(lastFinal.text.length).trim();
        console.log('📝 Updating partial (new part only):', rest.substring(0, 30));
        this.currentPartialLine = rest === '' ? null : { text: rest, isFinal: false, timestamp: this.now() };
      } else {
        console.log('📝 Updating partial (full):', text.substring(0, 50));
        this.currentPartialLine = { text: text, isFinal: false, timestamp: this.now() };
      }
      this.partialTimeout = this.setTimer(() => this.forcePartial(), PARTIAL_TIMEOUT_MS);
    }
    console.log('📝 Total lines now:', this.transcriptionLines.length);
    this.onChange();
  }

  // A partial that no final followed in time is kept as a final, so nothing heard is lost.
  forcePartial() {
    this.partialTimeout = null;
    if (!this.currentPartialLine) return;
    console.log('⚠️ FORCING partial to final after timeout:', this.currentPartialLine.text.substring(0, 50));
    this.appendFinalLine(this.currentPartialLine.text);
    this.currentPartialLine = null;
    this.onChange();
  }
}

// The caption stream and its two views. Without captions on the page (`enabled` false) it does
// nothing. `onConnection(connected)` hears when the stream opens and when it is lost.
class Captions {
  constructor(enabled, onConnection) {
    this.enabled = enabled;
    this.onConnection = onConnection || function () {};
    this.history = new CaptionHistory({ onChange: () => this.renderTranscriptions() });
    this.transcriptionEventSource = null;
    this.isFullscreen = false;
    this.sizeStep = 0;
    this.focusBeforeFullscreen = null;
  }

  connectTranscription() {
    if (!this.enabled) return;
    if (this.transcriptionEventSource) this.transcriptionEventSource.close();
    const source = new EventSource('/transcription');
    this.transcriptionEventSource = source;
    source.onopen = () => {
      console.log('🎤 Transcription stream connected');
      document.getElementById('transcriptionContainer').style.display = 'block';
      this.onConnection(true);
    };
    source.onmessage = (event) => {
      try {
        const message = JSON.parse(event.data);
        if (message.type === 'transcription') this.history.updateTranscription(message.text, message.isFinal);
      } catch (error) {
        console.log('Failed to parse transcription:', error);
      }
    };
    source.onerror = (event) => {
      console.log('🎤 Transcription stream error:', event);
      this.onConnection(false);
    };
  }

  get connected() {
    return this.transcriptionEventSource !== null && this.transcriptionEventSource.readyState === 1;
  }

  renderTranscriptions() {
    const scroller = document.getElementById('transcriptionScroller');
    if (scroller) this.renderToContainer(scroller);
    if (this.isFullscreen) {
      const fullscreen = document.getElementById('fullscreenScroller');
      if (fullscreen) this.renderToContainer(fullscreen);
    }
  }

  // Final lines already shown stay in place and only new ones are added, so a screen reader in
  // the caption log announces each final once. The line being recognised and the marker are for
  // the eye only. Sizes and colours come from the style sheet; only each final's fade is set here.
  renderToContainer(container) {
    const lines = this.history.transcriptionLines;
    const partial = this.history.currentPartialLine;
    if (lines.length === 0 && !partial) {
      container.innerHTML = '<div class="transcription-line">Waiting for speech...</div>';
    } else {
      const first = this.history.finalCount - lines.length;
      const shown = {};
      for (const child of Array.from(container.children)) {
        const index = child.classList.contains('final') ? Number(child.getAttribute('data-line')) : -1;
        if (index >= first) shown[index] = child;
        else container.removeChild(child);
      }
      lines.forEach((line, i) => {
        let element = shown[first + i];
        if (!element) {
          element = document.createElement('div');
          element.className = 'transcription-line final';
          element.setAttribute('data-line', String(first + i));
          container.appendChild(element);
        }
        if (element.textContent !== line.text) element.textContent = line.text;  // a refined final
        element.style.opacity = String(lineOpacity(i, lines.length));
      });
      const tail = document.createElement('div');
      tail.setAttribute('aria-hidden', 'true');
      if (partial) {
        tail.className = 'transcription-line partial';
        tail.textContent = partial.text + ' ';
        const pending = document.createElement('span');
        pending.className = 'pending';
        pending.textContent = '...';
        tail.appendChild(pending);
      } else {
        tail.className = 'listening-marker';
        tail.textContent = '● Listening...';
      }
      container.appendChild(tail);
    }
    const box = container.parentElement;
    if (box) box.scrollTop = box.scrollHeight;
  }

  toggleFullscreen() {
    if (!this.enabled) return;
    this.isFullscreen = !this.isFullscreen;
    const overlay = document.getElementById('fullscreenOverlay');
    if (this.isFullscreen) {
      this.focusBeforeFullscreen = document.activeElement;
      overlay.style.display = 'flex';
      this.renderTranscriptions();
      overlay.querySelector('.close').focus();
    } else {
      overlay.style.display = 'none';
      if (this.focusBeforeFullscreen && this.focusBeforeFullscreen.focus) this.focusBeforeFullscreen.focus();
    }
  }

  // The remembered size, or the default; the size buttons follow.
  restoreSize() {
    let stored = null;
    try {
      stored = localStorage.getItem(CAPTION_SIZE_KEY);
    } catch (error) {
      // No storage (private browsing): the default, and the buttons work for this visit.
    }
    this.applySize(captionSizeStep(stored));
  }

  changeSize(steps) {
    const step = Math.max(0, Math.min(CAPTION_SIZES_PX.length - 1, this.sizeStep + steps));
    this.applySize(step);
    try {
      localStorage.setItem(CAPTION_SIZE_KEY, String(CAPTION_SIZES_PX[step]));
    } catch (error) {}
  }

  applySize(step) {
    this.sizeStep = step;
    const size = CAPTION_SIZES_PX[step];
    const root = document.documentElement.style;
    root.setProperty('--caption-size', size + 'px');
    root.setProperty('--caption-fullscreen-size', Math.max(size, FULLSCREEN_MIN_SIZE_PX) + 'px');
    for (const button of Array.from(document.querySelectorAll('[data-caption-size]'))) {
      const direction = Number(button.getAttribute('data-caption-size'));
      button.disabled = direction < 0 ? step === 0 : step === CAPTION_SIZES_PX.length - 1;
    }
    const box = document.getElementById('transcriptionBox');
    if (box) box.scrollTop = box.scrollHeight;
  }
}
