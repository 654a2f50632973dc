// Code page 437, the PC's character set, to Unicode and back: the glyphs a door's bytes show on a PC
// screen, and the bytes a PC keyboard sends for the characters a caller types.

// Bytes 0x01-0x1F and 0x7F show as the PC's pictures (smileys, card suits, arrows); 0x80-0xFF are the
// accented letters, box drawing, shades and Greek letters of the PC's character ROM.
const kLow = [
  0x0000, 0x263a, 0x263b, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25d8, 0x25cb, 0x25d9, 0x2642, 0x2640, 0x266a,
  0x266b, 0x263c, 0x25ba, 0x25c4, 0x2195, 0x203c, 0x00b6, 0x00a7, 0x25ac, 0x21a8, 0x2191, 0x2193, 0x2192, 0x2190,
  0x221f, 0x2194, 0x25b2, 0x25bc,
];
const kHigh = [
  0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7, 0x00ea, 0x00eb, 0x00e8, 0x00ef, 0x00ee, 0x00ec,
  0x00c4, 0x00c5, 0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9, 0x00ff, 0x00d6, 0x00dc, 0x00a2,
  0x00a3, 0x00a5, 0x20a7, 0x0192, 0x00e1, 0x00ed, 0x00f3, 0x00fa, 0x00f1, 0x00d1, 0x00aa, 0x00ba, 0x00bf, 0x2310,
  0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
  0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510, 0x2514, 0x2534, 0x252c, 0x251c, 0x2500, 0x253c,
  0x255e, 0x255f, 0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256c, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
  0x2558, 0x2552, 0x2553, 0x256b, 0x256a, 0x2518, 0x250c, 0x2588, 0x2584, 0x258c, 0x2590, 0x2580, 0x03b1, 0x00df,
  0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4, 0x03a6, 0x0398, 0x03a9, 0x03b4, 0x221e, 0x03c6, 0x03b5, 0x2229,
  0x2261, 0x00b1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00f7, 0x2248, 0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2,
  0x25a0, 0x00a0,
];

// What each byte becomes on its way to the terminal. The bytes a PC's screen driver acts on stay
// controls: BEL, BS, HT, LF, CR and ESC (the start of every ANSI sequence). NUL is padding and shows
// nothing; FF clears the screen, as BBS terminals do. Every other byte is a glyph.
export const kToUnicode = (() => {
  const Table = new Array(256);
  for (let B = 0; B < 256; ++B) {
    if (B < 0x20) Table[B] = String.fromCodePoint(kLow[B]);
    else if (B < 0x7f) Table[B] = String.fromCharCode(B);
    else if (B === 0x7f) Table[B] = '\u2302';
    else Table[B] = String.fromCodePoint(kHigh[B - 0x80]);
  }
  for (const B of [0x07, 0x08, 0x09, 0x0a, 0x0d, 0x1b]) Table[B] = String.fromCharCode(B);
  Table[0x00] = '';
  Table[0x0c] = '\x1b[2J\x1b[H';
  return Table;
})();

// Unicode character to CP437 byte, for what the caller types: ASCII as itself, the rest by the table.
const kFromUnicode = (() => {
  const Map_ = new Map();
  for (let B = 0x80; B < 0x100; ++B) Map_.set(String.fromCodePoint(kHigh[B - 0x80]), B);
  return Map_;
})();

// Each byte's one UTF-16 code unit, or kNotOne where its text is empty or longer (NUL, FF).
const kNotOne = 0xffff;
const kCodeUnits = Uint16Array.from(kToUnicode, (AText) => (AText.length === 1 ? AText.charCodeAt(0) : kNotOne));
const kUtf16 = new TextDecoder('utf-16le');

// A run of door bytes as the text to hand the terminal: code units in an array, made a string at
// once, since a door may send megabytes a second.
export function Cp437ToString(ABytes) {
  const Units = new Uint16Array(ABytes.length);
  let Count = 0;
  let Out = '';
  for (const B of ABytes) {
    const Unit = kCodeUnits[B];
    if (Unit !== kNotOne) {
      Units[Count++] = Unit;
    } else {
      Out += kUtf16.decode(Units.subarray(0, Count)) + kToUnicode[B];
      Count = 0;
    }
  }
  return Out + kUtf16.decode(Units.subarray(0, Count));
}

// Typed text as CP437 bytes; characters the PC has no byte for are left out.
export function StringToCp437(AText) {
  const Out = [];
  for (const Ch of AText) {
    const Code = Ch.codePointAt(0);
    if (Code < 0x80) Out.push(Code);
    else if (kFromUnicode.has(Ch)) Out.push(kFromUnicode.get(Ch));
  }
  return Uint8Array.from(Out);
}
