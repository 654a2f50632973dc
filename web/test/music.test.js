// The music notation, the sequence extractor and the player's time line, run with Node's test runner.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import {
  NewMusicState, NoteFrequency, ParseMusic, TMusicExtractor, TMusicPlayer,
  kMaxAheadSeconds, kMaxMusicBytes, kMaxSequenceSeconds,
} from '../music.js';

const kC4 = 261.6256, kD4 = 293.6648, kE4 = 329.6276, kA4 = 440;
const Close = (A, B) => Math.abs(A - B) < 1e-3;

// Notes as short strings, "frequency/length/duration" rounded to a millisecond, for readable failures.
const Picture = (ANotes) => ANotes.map((N) => `${N.Frequency.toFixed(2)}/${N.Length.toFixed(4)}/${N.Duration.toFixed(4)}`);
const Note = (AFrequency, ALength, AStyle = 7 / 8) =>
  ({ Frequency: AFrequency, Length: ALength, Duration: AFrequency > 0 ? ALength * AStyle : 0 });

test('note numbers give equal-tempered frequencies with A4 at 440 Hz', () => {
  const kCases = [[58, kA4], [49, kC4], [51, kD4], [53, kE4], [1, 16.3516], [84, 1975.533], [73, 1046.502], [46, 220]];
  for (const [Number_, Want] of kCases) assert.ok(Math.abs(NoteFrequency(Number_) - Want) < 1e-2, `N${Number_}`);
});

// One row per command of the notation: the music string and the notes it must give.
test('every command of the notation', () => {
  const Q = 0.5;  // a quarter note at the default tempo 120
  const kCases = [
    // Tempo and lengths: a whole note is four beats.
    ['T120O4D16', [Note(kD4, 0.125)]],
    ['T60C', [Note(kC4, 1)]],
    ['T240C', [Note(kC4, 0.25)]],
    ['T31C T256C', [Note(kC4, Q), Note(kC4, Q)]],  // out of range: the tempo stays
    ['C D E F G A B', [kC4, kD4, kE4, 349.228, 391.995, kA4, 493.883].map((F) => Note(F, Q))],
    ['c d e', [kC4, kD4, kE4].map((F) => Note(F, Q))],  // lower case too
    // Sharps and flats.
    ['C# C+ D- E-', [277.183, 277.183, 277.183, 311.127].map((F) => Note(F, Q))],
    ['O0C-', [Note(0, Q)]],  // below the lowest key: a rest of the same length
    ['O6B#', [Note(0, Q)]],  // above the highest key
    // Octaves: O, < and >, within 0-6.
    ['O3A O5A O7A', [Note(220, Q), Note(880, Q), Note(880, Q)]],
    ['O4A<A>>A', [Note(kA4, Q), Note(220, Q), Note(880, Q)]],
    ['O0<<C O6>>C', [Note(16.3516, Q), Note(1046.502, Q)]],
    // L sets the default length; a length after a note is for that note only.
    ['L8CD', [Note(kC4, 0.25), Note(kD4, 0.25)]],
    ['L8C2D', [Note(kC4, 1), Note(kD4, 0.25)]],
    ['L0C L65C L64C', [Note(kC4, Q), Note(kC4, Q), Note(kC4, 2 / 64)]],
    ['C0 C65', [Note(kC4, Q), Note(kC4, Q)]],  // a note length out of range takes L
    ['C1 C64', [Note(kC4, 2), Note(kC4, 2 / 64)]],  // the longest and the shortest: a whole note, a 64th
    ['L1C P1 P64', [Note(kC4, 2), Note(0, 2), Note(0, 2 / 64)]],
    // Dots: each makes the note half as long again.
    ['C4.', [Note(kC4, 0.75)]],
    ['C4..', [Note(kC4, 1.125)]],
    ['C.', [Note(kC4, 0.75)]],
    // N: note numbers, N0 a rest, with L's length and dots.
    ['N58', [Note(kA4, Q)]],
    ['L16N51', [Note(kD4, 0.125)]],
    ['N0', [Note(0, Q)]],
    ['N58.', [Note(kA4, 0.75)]],
    ['N85 N', []],
    // P: pauses, with dots.
    ['P4', [Note(0, Q)]],
    ['P8.', [Note(0, 0.375)]],
    ['P0 P65 P', []],
    // Styles: normal 7/8, legato all, staccato 3/4 of the length sounds.
    ['MNC', [Note(kC4, Q, 7 / 8)]],
    ['MLC', [Note(kC4, Q, 1)]],
    ['MSC', [Note(kC4, Q, 3 / 4)]],
    ['MSCMNC', [Note(kC4, Q, 3 / 4), Note(kC4, Q, 7 / 8)]],
    // Foreground and background change nothing in the notes.
    ['MFC MBC', [Note(kC4, Q), Note(kC4, Q)]],
    // Unknown commands and separators are skipped.
    ['X;V10,C Z K!D', [Note(kC4, Q), Note(kD4, Q)]],
    ['MZC', [Note(kC4, Q)]],
    ['', []],
  ];
  for (const [Music, Want] of kCases) {
    assert.deepEqual(Picture(ParseMusic(Music)), Picture(Want), Music);
  }
});

test('foreground and background are remembered', () => {
  const State = NewMusicState();
  ParseMusic('MB', State);
  assert.equal(State.Background, true);
  ParseMusic('MF', State);
  assert.equal(State.Background, false);
});

test('settings carry over from one sequence to the next', () => {
  const State = NewMusicState();
  ParseMusic('T60O2L8MS', State);
  assert.deepEqual(State, { Tempo: 60, Octave: 2, Length: 8, Style: 'S', Background: false });
  assert.deepEqual(Picture(ParseMusic('A', State)), Picture([Note(110, 0.5, 3 / 4)]));
});

test('hostile music cannot play for ever', () => {
  const kCases = [
    'T32L1' + 'C....................'.repeat(50),
    'T32' + 'C1'.repeat(4000),
    'T32' + 'P1.'.repeat(4000),
    'C1' + '.'.repeat(4000),
    'T99999999999999999999L99999999999999999999N99999999999999999999C',
  ];
  for (const Music of kCases) {
    const Notes = ParseMusic(Music);
    const Total = Notes.reduce((Sum, N) => Sum + N.Length, 0);
    assert.ok(Total <= kMaxSequenceSeconds + 1e-9, `${Music.slice(0, 20)}: ${Total}`);
    assert.ok(Notes.every((N) => Number.isFinite(N.Length) && N.Duration <= N.Length));
  }
});

// The extractor's output with adjacent text pieces joined, as "text" strings and ["music"] arrays.
function Extract(AChunks) {
  const Extractor = new TMusicExtractor();
  const Out = [];
  for (const Chunk of AChunks) {
    for (const Piece of Extractor.Feed(Buffer.from(Chunk, 'latin1'))) {
      if (Piece.Text) {
        const Text = Buffer.from(Piece.Text).toString('latin1');
        if (typeof Out[Out.length - 1] === 'string') Out[Out.length - 1] += Text;
        else Out.push(Text);
      } else {
        Out.push([Piece.Music]);
      }
    }
  }
  return Out;
}

const kStreams = [
  ['Playing\r\n\x1b[NT120O4D16\x0e\x1b[NT120O4D16\x0eok', ['Playing\r\n', ['T120O4D16'], ['T120O4D16'], 'ok']],
  ['\x1b[|MBT200CDE\x0e', [['MBT200CDE']]],
  // ESC [ M is delete line, not music; other sequences pass untouched.
  ['\x1b[MT120C\x0e', ['\x1b[MT120C\x0e']],
  ['\x1b[2J\x1b[1;1f\x1b[0;37m', ['\x1b[2J\x1b[1;1f\x1b[0;37m']],
  // A lone ESC (or ESC [) before a music sequence is abandoned by the ESC that opens it, and the
  // text after the music is shown whole.
  ['\x1b\x1b[NC\x0e', [['C']]],
  ['\x1b\x1b[NT120O4E8\x0e~10~', [['T120O4E8'], '~10~']],
  ['\x1b[\x1b[NC\x0ex', [['C'], 'x']],
  ['a\x1b\x1bxb', ['a\x1bxb']],
  ['\x1bx\x1b[x', ['\x1bx\x1b[x']],
  ['\x1b[N\x0e', [['']]],
  // A control byte inside the music: the sequence was not music after all and shows as text.
  ['\x1b[NCDE\r\nnext', ['\x1b[NCDE\r\nnext']],
  ['\x1b[NCD\x1b[NE\x0e', ['\x1b[NCD', ['E']]],
  ['\x1b[N' + 'C'.repeat(kMaxMusicBytes) + '\x0e', [['C'.repeat(kMaxMusicBytes)]]],
  ['\x1b[N' + 'C'.repeat(kMaxMusicBytes + 1) + '\x0e', ['\x1b[N' + 'C'.repeat(kMaxMusicBytes + 1) + '\x0e']],
];

test('music sequences are taken out of the stream', () => {
  for (const [Stream, Want] of kStreams) assert.deepEqual(Extract([Stream]), Want, JSON.stringify(Stream.slice(0, 40)));
});

test('a stream split anywhere gives the same pieces', () => {
  for (const [Stream, Want] of kStreams) {
    if (Stream.length > 100) continue;
    for (let K = 0; K <= Stream.length; ++K)
      assert.deepEqual(Extract([Stream.slice(0, K), Stream.slice(K)]), Want, `${JSON.stringify(Stream)} split at ${K}`);
    assert.deepEqual(Extract([...Stream]), Want, `${JSON.stringify(Stream)} a byte at a time`);
  }
});

test('the player lays sequences one after another and takes none that would end too far ahead', () => {
  let Now = 10;
  const Tones = [];
  const Player = new TMusicPlayer(() => Now, (F, S, D) => Tones.push([F, S, D]));
  const First = Player.Play('T120O4D16');
  assert.equal(First.length, 1);
  assert.ok(Close(First[0].Start, 10.05));
  const Second = Player.Play('P16E');
  assert.ok(Close(Second[0].Start, 10.175) && Close(Second[1].Start, 10.3));
  assert.equal(Tones.length, 2);  // the rest sounds nothing
  assert.ok(Close(Tones[1][0], kE4) && Close(Tones[1][2], 0.4375));
  Now = 20;  // after a quiet spell the next sequence starts now, not in the past
  assert.ok(Close(Player.Play('C')[0].Start, 20.05));
  let Taken = 0;
  for (let I = 0; I < 10; ++I) if (Player.Play('T32L1' + 'C'.repeat(20)).length) ++Taken;
  assert.equal(Taken, 2, `${Taken} sequences of ${kMaxSequenceSeconds} s taken`);
  assert.ok(Player.FNextStart - Now <= kMaxAheadSeconds);
  // Shorter ones still fit until the queue is full to the second.
  while (Player.Play('T255L64C').length) ++Taken;
  assert.ok(Player.FNextStart - Now <= kMaxAheadSeconds && Player.FNextStart - Now > kMaxAheadSeconds - 0.1);
});
