// Code page 437: the glyphs of a door's bytes and the bytes of typed characters.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { Cp437ToString, StringToCp437, kToUnicode } from '../cp437.js';

test('bytes show as the PC shows them', () => {
  const kCases = [
    [[0x41, 0x7a, 0x20], 'Az '],
    [[0x01, 0x03, 0x0e, 0x1a, 0x7f], '\u263a\u2665\u266b\u2192\u2302'],
    [[0xb0, 0xb1, 0xb2, 0xdb, 0xdc, 0xdf], '░▒▓█▄▀'],
    [[0xc9, 0xcd, 0xbb, 0xba, 0xc8, 0xbc], '╔═╗║╚╝'],
    [[0xda, 0xc4, 0xbf, 0xb3, 0xc0, 0xd9, 0xc5], '┌─┐│└┘┼'],
    [[0x80, 0x81, 0x82, 0x9b, 0x9c, 0x9e, 0xa8], 'Çüé¢£₧¿'],
    [[0xe0, 0xe1, 0xe3, 0xe6, 0xea, 0xec, 0xf1, 0xf8, 0xfb, 0xfd, 0xfe, 0xff], 'αßπµΩ∞±°√²■\u00a0'],
    // Controls a PC's screen driver acts on stay controls; NUL shows nothing; FF clears the screen.
    [[0x07, 0x08, 0x09, 0x0a, 0x0d, 0x1b], '\x07\x08\x09\x0a\x0d\x1b'],
    [[0x00, 0x41, 0x0c], 'A\x1b[2J\x1b[H'],
  ];
  for (const [Bytes, Want] of kCases) assert.equal(Cp437ToString(Uint8Array.from(Bytes)), Want, Bytes.join(','));
});

test('the upper half is 128 different characters, each typed back as its own byte', () => {
  const Seen = new Set();
  for (let B = 0x80; B < 0x100; ++B) {
    Seen.add(kToUnicode[B]);
    assert.deepEqual([...StringToCp437(kToUnicode[B])], [B], `byte ${B.toString(16)}`);
  }
  assert.equal(Seen.size, 128);
});

test('typed text becomes CP437 bytes; characters without a byte are left out', () => {
  const kCases = [
    ['hello\r', [0x68, 0x65, 0x6c, 0x6c, 0x6f, 0x0d]],
    ['\x1b[A', [0x1b, 0x5b, 0x41]],
    ['é£ñ', [0x82, 0x9c, 0xa4]],
    ['€漢😀a', [0x61]],
  ];
  for (const [Text, Want] of kCases) assert.deepEqual([...StringToCp437(Text)], Want, Text);
});
