// ANSI music: taking the music sequences out of a door's byte stream (ESC [ N ... SO and
// ESC [ | ... SO), reading their notation (that of BASIC's PLAY statement) and laying the notes out
// in time. No DOM and no audio here, so Node's test runner checks all of it; page.js plays the result.

export const kMaxMusicBytes = 4096;     // one sequence's music string; a longer one is shown as text
export const kMaxSequenceSeconds = 60;  // one sequence never plays longer than this
export const kMaxAheadSeconds = 180;    // music waiting to play, at most; a sequence that would end later is skipped

const kEsc = 0x1b;
const kShiftOut = 0x0e;  // SO ends a music sequence

// Styles: the part of each note's length that sounds (BASIC: MN normal, ML legato, MS staccato).
export const kStyles = { N: 7 / 8, L: 1, S: 3 / 4 };

export function NewMusicState() {
  return { Tempo: 120, Octave: 4, Length: 4, Style: 'N', Background: false };
}

// Note number 1-84 (N1 is C of octave 0, N49 middle C of octave 4) to frequency, equal temperament
// with A of octave 4 (N58) at 440 Hz.
export function NoteFrequency(ANumber) {
  return 440 * Math.pow(2, (ANumber - 58) / 12);
}

const kSemitones = { C: 0, D: 2, E: 4, F: 5, G: 7, A: 9, B: 11 };

// Reads one music string. AState (tempo, octave, default length, style, foreground/background)
// carries over from one sequence to the next, as PLAY's settings do from one statement to the next.
// Returns the notes in order: { Frequency (0 for a rest), Length (seconds, until the next note
// starts), Duration (seconds that sound) }. Each character is looked at once, so any string ends;
// unknown commands and out-of-range values are skipped; the notes stop at kMaxSequenceSeconds.
export function ParseMusic(AText, AState = NewMusicState()) {
  const Notes = [];
  let Total = 0;
  let At = 0;
  const Upper = String(AText).toUpperCase();
  const Peek = () => (At < Upper.length ? Upper[At] : '');
  const Digit = (C) => C >= '0' && C <= '9';
  // A decimal number, or null when none follows. Long digit runs are read to their end but the
  // value stops growing, so "T99999999999" is simply out of range.
  const Number_ = () => {
    if (!Digit(Peek())) return null;
    let Value = 0;
    while (Digit(Peek())) {
      if (Value < 100000) Value = Value * 10 + (Upper.charCodeAt(At) - 48);
      ++At;
    }
    return Value;
  };
  // Each dot makes the note half as long again.
  const Dots = () => {
    let Factor = 1;
    while (Peek() === '.') {
      Factor *= 1.5;
      ++At;
    }
    return Factor;
  };
  const Whole = () => 240 / AState.Tempo;  // a whole note is four beats; T counts beats a minute
  const Add = (AFrequency, ALength) => {
    if (Total >= kMaxSequenceSeconds) return;
    const Length = Math.min(ALength, kMaxSequenceSeconds - Total);
    const Duration = AFrequency > 0 ? Length * kStyles[AState.Style] : 0;
    Notes.push({ Frequency: AFrequency, Length, Duration });
    Total += Length;
  };

  while (At < Upper.length && Total < kMaxSequenceSeconds) {
    const C = Upper[At++];
    if (C in kSemitones) {
      let Semitone = kSemitones[C];
      if (Peek() === '#' || Peek() === '+') { ++Semitone; ++At; }
      else if (Peek() === '-') { --Semitone; ++At; }
      const Given = Number_();
      const Length = Given !== null && Given >= 1 && Given <= 64 ? Given : AState.Length;
      const Factor = Dots();
      const Key = AState.Octave * 12 + Semitone + 1;
      // C- below octave 0 or B# above octave 6 has no key: it keeps its time as a rest.
      Add(Key >= 1 && Key <= 84 ? NoteFrequency(Key) : 0, (Whole() / Length) * Factor);
    } else if (C === 'N') {
      const Value = Number_();
      const Factor = Dots();
      if (Value !== null && Value <= 84) Add(Value === 0 ? 0 : NoteFrequency(Value), (Whole() / AState.Length) * Factor);
    } else if (C === 'P') {
      const Value = Number_();
      const Factor = Dots();
      if (Value !== null && Value >= 1 && Value <= 64) Add(0, (Whole() / Value) * Factor);
    } else if (C === 'T') {
      const Value = Number_();
      if (Value !== null && Value >= 32 && Value <= 255) AState.Tempo = Value;
    } else if (C === 'O') {
      const Value = Number_();
      if (Value !== null && Value <= 6) AState.Octave = Value;
    } else if (C === 'L') {
      const Value = Number_();
      if (Value !== null && Value >= 1 && Value <= 64) AState.Length = Value;
    } else if (C === '<') {
      if (AState.Octave > 0) --AState.Octave;
    } else if (C === '>') {
      if (AState.Octave < 6) ++AState.Octave;
    } else if (C === 'M') {
      const Next = Peek();
      if (Next in kStyles) { AState.Style = Next; ++At; }
      else if (Next === 'F') { AState.Background = false; ++At; }
      else if (Next === 'B') { AState.Background = true; ++At; }
    }
    // Anything else (spaces, separators, commands this player does not know) is passed over.
  }
  return Notes;
}

// Splits a door's output into text for the terminal and music strings, byte by byte, so a sequence
// split across any number of messages is found the same. ESC [ M is not music here: it is also DL,
// delete line (ECMA-48 8.3.32), which doors send. A music string broken by a control byte, or longer
// than kMaxMusicBytes, is handed on as the text it was, so nothing the door sent goes missing.
export class TMusicExtractor {
  constructor() {
    this.FState = 0;  // 0 text, 1 after ESC, 2 after ESC [, 3 inside music
    this.FMusic = [];
    this.FIntro = 0;  // the byte after ESC [ that opened the music: N or |
  }

  // Returns the pieces found in ABytes, in order: { Text: Uint8Array } or { Music: string }. Text
  // between escapes is passed on as runs (views of ABytes), so plain text costs one search.
  Feed(ABytes) {
    const Pieces = [];
    let Runs = [];  // Uint8Arrays of text, in order
    let Text = [];  // single bytes since the last run
    const EndRun = () => {
      if (Text.length) Runs.push(Uint8Array.from(Text));
      Text = [];
    };
    const FlushText = () => {
      EndRun();
      if (Runs.length === 1) Pieces.push({ Text: Runs[0] });
      else if (Runs.length > 1) {
        const Whole = new Uint8Array(Runs.reduce((ASum, ARun) => ASum + ARun.length, 0));
        let At = 0;
        for (const Run of Runs) {
          Whole.set(Run, At);
          At += Run.length;
        }
        Pieces.push({ Text: Whole });
      }
      Runs = [];
    };
    for (let I = 0; I < ABytes.length; ++I) {
      const B = ABytes[I];
      if (this.FState === 0) {
        const Esc = ABytes.indexOf(kEsc, I);
        const End = Esc < 0 ? ABytes.length : Esc;
        EndRun();
        if (End > I) Runs.push(ABytes.subarray(I, End));
        if (Esc < 0) break;
        this.FState = 1;
        I = Esc;
      } else if (B === kEsc && this.FState !== 3) {
        // ESC abandons a sequence just begun (as a terminal's parser does), so the lone ESC or
        // ESC [ before it is dropped here rather than left to swallow what follows a music sequence.
        this.FState = 1;
      } else if (this.FState === 1) {
        if (B === 0x5b) {
          this.FState = 2;
        } else {
          Text.push(kEsc);
          this.FState = 0;
          --I;  // the byte after a lone ESC is looked at afresh (it may be another ESC)
        }
      } else if (this.FState === 2) {
        if (B === 0x4e || B === 0x7c) {
          this.FState = 3;
          this.FIntro = B;
          this.FMusic = [];
        } else {
          Text.push(kEsc, 0x5b);
          this.FState = 0;
          --I;
        }
      } else if (B === kShiftOut) {
        FlushText();
        Pieces.push({ Music: String.fromCharCode(...this.FMusic) });
        this.FMusic = [];
        this.FState = 0;
      } else if (B < 0x20 || B === 0x7f || this.FMusic.length >= kMaxMusicBytes) {
        Text.push(kEsc, 0x5b, this.FIntro, ...this.FMusic);
        this.FMusic = [];
        this.FState = 0;
        --I;
      } else {
        this.FMusic.push(B);
      }
    }
    FlushText();
    return Pieces;
  }
}

// Lays music strings out one after another on a clock in seconds (an AudioContext's currentTime).
// ATone(Frequency, Start, Duration) is called for every sounding note; rests only move time on.
export class TMusicPlayer {
  constructor(ANow, ATone) {
    this.FNow = ANow;
    this.FTone = ATone;
    this.FState = NewMusicState();
    this.FNextStart = 0;
  }

  // Schedules one music string after whatever is still playing; returns its notes with start times,
  // or an empty list when it would end more than kMaxAheadSeconds from now (its settings, such as
  // the tempo, still take effect, as they would have had it played).
  Play(AMusic) {
    const Now = this.FNow();
    let Start = Math.max(this.FNextStart, Now + 0.05);
    const Notes = ParseMusic(AMusic, this.FState);
    const End = Notes.reduce((AAt, ANote) => AAt + ANote.Length, Start);
    if (End - Now > kMaxAheadSeconds) return [];
    const Scheduled = [];
    for (const Note of Notes) {
      if (Note.Frequency > 0) this.FTone(Note.Frequency, Start, Note.Duration);
      Scheduled.push({ ...Note, Start });
      Start += Note.Length;
    }
    this.FNextStart = Start;
    return Scheduled;
  }
}
