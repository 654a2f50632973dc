#pragma once
// A terminal screen emulated by libvterm: feed it the bytes a program wrote to its terminal, then
// read back the characters, PC colours and cursor the sysop would see.

#include <cstdint>
#include <string>

struct VTerm;
struct VTermScreen;

namespace zelkit_test {

class VtermScreen {
 public:
  // AUtf8: the terminal decodes UTF-8 (and cells map back from code page 437 glyphs to bytes);
  // otherwise it is an 8-bit terminal whose cells read back as their byte values.
  VtermScreen(int ARows, int ACols, bool AUtf8 = true);
  ~VtermScreen();
  VtermScreen(const VtermScreen&) = delete;
  VtermScreen& operator=(const VtermScreen&) = delete;

  void Feed(const std::string& ABytes);
  int Rows() const { return FRows; }
  int Cols() const { return FCols; }
  // All positions 1-based, whole screen.
  std::string Text(int ARow) const;        // the row as bytes, blank cells as spaces
  char Char(int AX, int AY) const;         // '?' for a glyph outside code page 437
  std::uint8_t Attr(int AX, int AY) const; // PC attribute (PC colour order): fg 0-15, bg << 4, blink 0x80
  int CursorX() const;
  int CursorY() const;
  bool CursorVisible() const { return FCursorVisible; }
  std::string Picture() const;             // every row, joined with '\n'

 private:
  friend struct VtermCallbacks;
  bool FCursorVisible = true;              // kept up to date by libvterm's settermprop callback
  VTerm* FVt = nullptr;
  VTermScreen* FScreen = nullptr;
  int FRows;
  int FCols;
  bool FUtf8;
};

}  // namespace zelkit_test
