// The caption history's merge rules, the fade and the text size steps as tables, on a fake clock:
// the history is pure, so no browser is needed. What only a browser shows (rendering, escaping,
// the overlay, the event stream) is in ../captions.test.mjs.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';

const source = readFileSync(join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..', '..', 'src', 'server', 'web', 'captions.js'), 'utf8');
const page = vm.runInNewContext(`${source};({ CaptionHistory, MAX_LINES, lineOpacity, captionSizeStep, CAPTION_SIZES_PX })`,
  { console: { log() {} } });

// A history on a clock that moves only when told. Updates: 'F text' final, 'P text' partial,
// 'wait ms'.
function replay(updates) {
  let now = 0;
  let timers = [];
  const history = new page.CaptionHistory({
    setTimer: (task, ms) => { const timer = { task, due: now + ms }; timers.push(timer); return timer; },
    clearTimer: (timer) => { timers = timers.filter((t) => t !== timer); },
    now: () => now,
  });
  for (const update of updates) {
    const [kind, ...words] = update.split(' ');
    const text = words.join(' ');
    if (kind === 'wait') {
      now += Number(text);
      for (const timer of timers.filter((t) => t.due <= now)) {
        timers = timers.filter((t) => t !== timer);
        timer.task();
      }
    } else {
      history.updateTranscription(text, kind === 'F');
    }
  }
  return { lines: Array.from(history.transcriptionLines, (l) => l.text), partial: history.currentPartialLine && history.currentPartialLine.text };
}

test('finals, partials and refinements merge by the caption rules', () => {
  const cases = [
    { name: 'an exact duplicate final is skipped', updates: ['F Hello world.', 'F Hello world.', 'F Hello there.'], lines: ['Hello world.', 'Hello there.'] },
    { name: 'a refined final takes the place of the one it refines', updates: ['F hello world is this on', 'F Hello world, is this on?'], lines: ['Hello world, is this on?'] },
    { name: 'a refinement keeps the partial of the next sentence', updates: ['F amen', 'P and then', 'F Amen.'], lines: ['Amen.'], partial: 'and then' },
    { name: 'once refined, the same words again are a new line', updates: ['F amen', 'F Amen.', 'F amen', 'F Amen.'], lines: ['Amen.', 'Amen.'] },
    { name: 'a partial extending the last final shows its new part', updates: ['F Hello world.', 'P Hello world. How are'], lines: ['Hello world.'], partial: 'How are' },
    { name: 'a partial equal to the last final shows nothing', updates: ['F Hello world.', 'P Hello world. How', 'P Hello world.'], lines: ['Hello world.'] },
    { name: 'empty text clears the partial and keeps the finals', updates: ['F kept', 'P going', 'P    '], lines: ['kept'] },
    { name: 'a final drops the partial', updates: ['P and so', 'F And so it was.'], lines: ['And so it was.'] },
    { name: 'a partial becomes final after 3 s', updates: ['P first words', 'wait 3000'], lines: ['first words'] },
    { name: 'an update within 3 s restarts the wait', updates: ['P first words', 'wait 2000', 'P first words and more', 'wait 2000'], lines: [], partial: 'first words and more' },
    { name: '...which then ends with the newer text', updates: ['P first words', 'wait 2000', 'P first words and more', 'wait 3000'], lines: ['first words and more'] },
  ];
  for (const { name, updates, lines, partial = null } of cases) assert.deepEqual(replay(updates), { lines, partial }, name);
});

test('at most MAX_LINES finals are kept, forced ones included', () => {
  const finals = Array.from({ length: page.MAX_LINES + 3 }, (_, i) => `F line ${i + 1}`);
  const many = replay(finals);
  assert.equal(many.lines.length, page.MAX_LINES);
  assert.deepEqual([many.lines[0], many.lines.at(-1)], ['line 4', `line ${page.MAX_LINES + 3}`]);
  const forced = replay([...finals, 'P still talking', 'wait 3000']);
  assert.deepEqual([forced.lines.length, forced.lines[0], forced.lines.at(-1)], [page.MAX_LINES, 'line 5', 'still talking']);
});

test('older lines fade but stay readable; stored text sizes that are not steps give the default', () => {
  assert.deepEqual([0, 1, 2].map((i) => page.lineOpacity(i, 3).toFixed(2)), ['0.55', '0.70', '0.85']);
  assert.equal(page.lineOpacity(0, 1), 0.55);
  const sizes = [[null, 16], ['16', 16], ['24', 24], ['40', 40], ['41', 16], ['20px', 16], ['', 16], ['large', 16], ['-1', 16]];
  for (const [stored, px] of sizes) assert.equal(page.CAPTION_SIZES_PX[page.captionSizeStep(stored)], px, String(stored));
  assert.ok(page.CAPTION_SIZES_PX.length >= 4 && page.CAPTION_SIZES_PX.at(-1) === 40);
});
