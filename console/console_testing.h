#pragma once
// Seams for tests of the console and of the units drawing on it. Not for door code.

// Draws on AOut and reads keys from AIn from now on: the size is read again from AOut when it is a
// terminal (the model becomes at least 80 x 25 and is blanked), and AIn goes into raw mode when it
// is a terminal (the previous input's settings are restored first).
void ConsoleUseFds(int AIn, int AOut);
// A blank model of that size (all cells 0), attribute 7, full window, cursor 1,1, cursor shown;
// the terminal's picture is forgotten, so the next flush after drawing redraws everything.
void ConsoleResetForTesting(int AWidth = 80, int AHeight = 25);
// Bytes 128-255 and control bytes as code page 437 glyphs in UTF-8 (true) or as 8-bit bytes.
void ConsoleSetUtf8ForTesting(bool AUtf8);
