// Live captions: the caption history with its merge rules (pure: no DOM, timers injected, so the
// rules can be tested as tables), and the view that fills it from the event stream and renders it
// into the caption box and the full-screen overlay.

const MAX_LINES = 100;
const PARTIAL_TIMEOUT_MS = 3000;

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

function escapeHtml(text) {
  const div = document.createElement('div');
  div.appendChild(document.createTextNode(text));
  return div.innerHTML;
}

// The caption stream and its two views. Without captions on the page (`enabled` false) it does
// nothing.
class Captions {
  constructor(enabled) {
    this.enabled = enabled;
    this.history = new CaptionHistory({ onChange: () => this.renderTranscriptions() });
    this.transcriptionEventSource = null;
    this.isFullscreen = false;
  }

  connectTranscription() {
    if (!this.enabled) return;
    if (this.transcriptionEventSource) this.transcriptionEventSource.close();
    const source = new EventSource('/transcription');
    this.transcriptionEventSource = source;
    source.onopen = () => {
      console.log('🎤 Transcription stream connected');
      document.getElementById('transcriptionContainer').style.display = 'block';
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
    };
  }

  renderTranscriptions() {
    const scroller = document.getElementById('transcriptionScroller');
    if (scroller) this.renderToContainer(scroller);
    if (this.isFullscreen) {
      const fullscreen = document.getElementById('fullscreenScroller');
      if (fullscreen) this.renderToContainer(fullscreen);
    }
  }

  // Sizes and colours come from the style sheet; only each final line's fade is set here.
  renderToContainer(container) {
    const lines = this.history.transcriptionLines;
    const partial = this.history.currentPartialLine;
    if (lines.length === 0 && !partial) {
      container.innerHTML = '<div class="transcription-line">Waiting for speech...</div>';
    } else {
      let html = '';
      lines.forEach(function (line, index) {
        const opacity = Math.min(1, 0.3 + (index / lines.length) * 0.7);
        html += '<div class="transcription-line final" style="opacity: ' + opacity + ';">' + escapeHtml(line.text) + '</div>';
      });
      if (partial) {
        html += '<div class="transcription-line partial">' + escapeHtml(partial.text) + ' <span class="pending">...</span></div>';
      } else {
        html += '<div class="listening-marker">● Listening...</div>';
      }
      container.innerHTML = html;
    }
    const box = container.parentElement;
    if (box) box.scrollTop = box.scrollHeight;
  }

  toggleFullscreen() {
    if (!this.enabled) return;
    this.isFullscreen = !this.isFullscreen;
    const overlay = document.getElementById('fullscreenOverlay');
    if (this.isFullscreen) {
      overlay.style.display = 'flex';
      this.renderTranscriptions();
    } else {
      overlay.style.display = 'none';
    }
  }
}
