// The web caller's page: an 80 x 25 terminal (xterm.js) on the launcher's WebSocket, showing the
// door's bytes as a PC shows them, sending keys as a BBS terminal sends them, and playing the door's
// ANSI music with the Web Audio API. window.zelkitPage lets tests read what happened.

import { Cp437ToString, StringToCp437 } from './cp437.js';
import { TMusicExtractor, TMusicPlayer } from './music.js';

// The VGA text-mode palette in ANSI order: dim colours 0-7, then the bright ones that bold selects.
const kTheme = {
  background: '#000000', foreground: '#aaaaaa', cursor: '#aaaaaa',
  black: '#000000', red: '#aa0000', green: '#00aa00', yellow: '#aa5500',
  blue: '#0000aa', magenta: '#aa00aa', cyan: '#00aaaa', white: '#aaaaaa',
  brightBlack: '#555555', brightRed: '#ff5555', brightGreen: '#55ff55', brightYellow: '#ffff55',
  brightBlue: '#5555ff', brightMagenta: '#ff55ff', brightCyan: '#55ffff', brightWhite: '#ffffff',
};

// What a BBS terminal sends for the keys whose xterm.js encoding differs: cursor keys always as
// ESC [ A-D (never the application-mode ESC O forms), Home ESC [ H, End ESC [ K, Insert ESC [ @,
// Page Up ESC [ V, Page Down ESC [ U, Backspace BS. Delete stays ESC [ 3 ~ and the function keys
// keep xterm.js's forms (F1-F4 ESC O P-S, F5-F10 ESC [ 15 ~ to ESC [ 21 ~): a kit door reads each
// of these as the PC key.
const kKeys = {
  '\x1bOA': '\x1b[A', '\x1bOB': '\x1b[B', '\x1bOC': '\x1b[C', '\x1bOD': '\x1b[D',
  '\x1bOH': '\x1b[H', '\x1b[1~': '\x1b[H', '\x1bOF': '\x1b[K', '\x1b[F': '\x1b[K', '\x1b[4~': '\x1b[K',
  '\x1b[2~': '\x1b[@', '\x1b[5~': '\x1b[V', '\x1b[6~': '\x1b[U', '\x7f': '\x08',
};

const Status = document.getElementById('status');
const Term = new Terminal({
  cols: 80, rows: 25, scrollback: 0, theme: kTheme,
  fontFamily: '"DejaVu Sans Mono", "Liberation Mono", monospace', fontSize: 16, lineHeight: 1,
  drawBoldTextInBrightColors: true, fontWeightBold: 'normal', cursorBlink: true,
});
Term.open(document.getElementById('terminal'));
Term.focus();

// A PC moves the cursor to column 1 of the next row as soon as a character lands in column 80 (at
// the bottom row the screen scrolls at once); xterm.js, like a VT100, waits for the next printable
// character. The two differ when a control follows: 80 characters then CR LF leave a blank row on
// a PC. xterm.js has no option for this, so its print step is followed by the PC's wrap whenever
// the cursor is left past the last column (its own code and buffer, pinned by the lock file).
function WrapAsAPc(ATerminal) {
  const Input = ATerminal._core && ATerminal._core._inputHandler;
  if (!Input || typeof Input.print !== 'function') return false;
  const Print = Input.print.bind(Input);
  Input.print = (AData, AStart, AEnd) => {
    Print(AData, AStart, AEnd);
    if (Input._activeBuffer.x >= ATerminal.cols && ATerminal._core.coreService.decPrivateModes.wraparound) {
      Input.carriageReturn();
      Input.lineFeed();
    }
  };
  return true;
}
const WrapsAsAPc = WrapAsAPc(Term);

// Blinking text (ESC [ 5 m): xterm.js keeps the attribute but draws it steady. After each draw the
// page marks the runs of blinking cells (xterm.js gives each run of equal attributes a span of its
// own), and its style blinks them as the PC's text mode does: the glyph goes, the background stays.
const Rows = document.querySelector('.xterm-rows');
function MarkBlink(AStart, AEnd) {
  if (!Rows) return;
  const Buffer = Term.buffer.active;
  for (let Y = AStart; Y <= AEnd; ++Y) {
    const Line = Buffer.getLine(Buffer.viewportY + Y);
    const Row = Rows.children[Y];
    if (!Line || !Row) continue;
    let X = 0;
    for (const Span of Row.children) {
      const Cell = Line.getCell(X);
      if (Cell && Cell.isBlink()) Span.classList.add('zelkit-blink');
      X += Span.textContent.length;
    }
  }
}
Term.onRender(({ start, end }) => MarkBlink(start, end));

const Hook = {
  Scheduled: [],    // every note laid out: { Frequency, Start, Length, Duration, Music }
  Connected: false,
  Ended: false,
  ScreenText() {
    const Rows = [];
    const Buffer = Term.buffer.active;
    for (let Y = 0; Y < Term.rows; ++Y) Rows.push(Buffer.getLine(Buffer.viewportY + Y).translateToString(true));
    return Rows.join('\n');
  },
  Cursor() { return { X: Term.buffer.active.cursorX, Y: Term.buffer.active.cursorY }; },
  AudioState() { return Audio ? Audio.state : 'none'; },
  WrapsAsAPc,
  Received: 0,      // bytes from the door
  Acknowledged: 0,  // of those, bytes the terminal has drawn and the page has said so
  KeyMessages: 0,   // messages the keys went out in, and the largest of them
  LargestKeyMessage: 0,
};
window.zelkitPage = Hook;

// Browsers may start the audio suspended until the caller touches the page; the notes are laid out
// on its clock either way and sound once it runs.
let Audio = null;
try { Audio = new AudioContext(); } catch { Audio = null; }
const Wake = () => { if (Audio && Audio.state === 'suspended') Audio.resume().catch(() => {}); };
document.addEventListener('keydown', Wake);
document.addEventListener('pointerdown', Wake);

// A square wave, as the PC speaker played it, quiet enough not to startle.
function Tone(AFrequency, AStart, ADuration) {
  if (!Audio) return;
  const Osc = Audio.createOscillator();
  const Gain = Audio.createGain();
  Osc.type = 'square';
  Osc.frequency.value = AFrequency;
  Gain.gain.value = 0.06;
  Osc.connect(Gain).connect(Audio.destination);
  Osc.start(AStart);
  Osc.stop(AStart + ADuration);
}

const Extractor = new TMusicExtractor();
const Player = new TMusicPlayer(() => (Audio ? Audio.currentTime : performance.now() / 1000), Tone);

// Below the terminal: how much music the door has sent, and the last tune, so a caller without
// sound (or a sysop looking at a screenshot) sees that it played.
const MusicLine = document.getElementById('music');
let Sounded = 0;
function ShowMusic(AMusic, ANotes) {
  for (const Note of ANotes) Hook.Scheduled.push({ ...Note, Music: AMusic });
  Sounded += ANotes.filter((Note) => Note.Frequency > 0).length;
  MusicLine.textContent = `\u266b ${Sounded} note${Sounded === 1 ? '' : 's'} played, the last tune ${AMusic}`;
}

const Url = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/door${location.search}`;
const Socket = new WebSocket(Url);
Socket.binaryType = 'arraybuffer';
Socket.onopen = () => {
  Hook.Connected = true;
  Status.textContent = 'Connected.';
};

// Flow control: the page tells the launcher, in a text message "ack N", how many of the door's
// bytes the terminal has drawn so far; the launcher stops reading the door while too many are
// unacknowledged, so a door that writes without end cannot fill the browser's memory. Drawn bytes
// are acknowledged a batch at a time, and at once when nothing else is waiting.
const kAckEvery = 16384;
let Drawn = 0;
function Acknowledge() {
  if (Socket.readyState !== WebSocket.OPEN || Drawn === Hook.Acknowledged) return;
  if (Drawn - Hook.Acknowledged < kAckEvery && Drawn < Hook.Received) return;
  Hook.Acknowledged = Drawn;
  Socket.send(`ack ${Drawn}`);
}
Socket.onmessage = (AEvent) => {
  if (!(AEvent.data instanceof ArrayBuffer)) return;
  Hook.Received += AEvent.data.byteLength;
  const Upto = Hook.Received;
  for (const Piece of Extractor.Feed(new Uint8Array(AEvent.data))) {
    if (Piece.Text) Term.write(Cp437ToString(Piece.Text));
    else ShowMusic(Piece.Music, Player.Play(Piece.Music));
  }
  // An empty write's callback runs once everything written before it has been drawn.
  Term.write('', () => {
    Drawn = Upto;
    Acknowledge();
  });
};
Socket.onclose = () => {
  const Text = Hook.Connected ? 'The call has ended.' : 'The door server could not be reached.';
  Hook.Ended = true;
  Status.textContent = Text;
  Term.write(`\x1b[0m\r\n\x1b[1;37m${Text}\x1b[0m\x1b[?25l`);
};
// Keys go out in messages of at most kKeyMessage bytes, in order, so a paste of any length reaches
// the door whole (the launcher takes one message of up to 4096 bytes at a time, at the door's pace).
const kKeyMessage = 1024;
function SendKeys(ABytes) {
  for (let At = 0; At < ABytes.length; At += kKeyMessage) {
    const Piece = ABytes.subarray(At, At + kKeyMessage);
    Hook.KeyMessages += 1;
    Hook.LargestKeyMessage = Math.max(Hook.LargestKeyMessage, Piece.length);
    Socket.send(Piece);
  }
}
Term.onData((AData) => {
  if (Socket.readyState !== WebSocket.OPEN) return;
  SendKeys(StringToCp437(kKeys[AData] ?? AData));
});
