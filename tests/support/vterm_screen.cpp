#include "tests/support/vterm_screen.h"

#include <vterm.h>

#include "tests/support/cp437_glyphs.h"

namespace zelkit_test {

struct VtermCallbacks {
  static int OnSetTermProp(VTermProp AProp, VTermValue* AValue, void* AUser) {
    if (AProp == VTERM_PROP_CURSORVISIBLE) static_cast<VtermScreen*>(AUser)->FCursorVisible = AValue->boolean != 0;
    return 1;
  }
};

namespace {

const VTermScreenCallbacks kCallbacks = {
    nullptr,        // damage
    nullptr,        // moverect
    nullptr,        // movecursor
    VtermCallbacks::OnSetTermProp,  // settermprop
    nullptr,        // bell
    nullptr,        // resize
    nullptr,        // sb_pushline
    nullptr,        // sb_popline
};

}  // namespace

VtermScreen::VtermScreen(int ARows, int ACols, bool AUtf8) : FRows(ARows), FCols(ACols), FUtf8(AUtf8) {
  FVt = vterm_new(ARows, ACols);
  vterm_set_utf8(FVt, AUtf8 ? 1 : 0);
  FScreen = vterm_obtain_screen(FVt);
  vterm_screen_set_callbacks(FScreen, &kCallbacks, this);
  vterm_state_set_bold_highbright(vterm_obtain_state(FVt), 1);
  vterm_screen_reset(FScreen, 1);
}

VtermScreen::~VtermScreen() { vterm_free(FVt); }

void VtermScreen::Feed(const std::string& ABytes) {
  if (!ABytes.empty()) vterm_input_write(FVt, ABytes.data(), ABytes.size());
}

char VtermScreen::Char(int AX, int AY) const {
  VTermScreenCell Cell{};
  VTermPos Pos{AY - 1, AX - 1};
  if (vterm_screen_get_cell(FScreen, Pos, &Cell) == 0) return ' ';
  char32_t Cp = Cell.chars[0];
  if (Cp == 0) return ' ';
  if (!FUtf8) return Cp < 256 ? static_cast<char>(Cp) : '?';
  int Byte = Cp437ByteFromCodePoint(Cp);
  if (Byte == 0) return ' ';
  return Byte < 0 ? '?' : static_cast<char>(Byte);
}

std::uint8_t VtermScreen::Attr(int AX, int AY) const {
  VTermScreenCell Cell{};
  VTermPos Pos{AY - 1, AX - 1};
  if (vterm_screen_get_cell(FScreen, Pos, &Cell) == 0) return 7;
  // ANSI colour order (black, red, green, yellow, blue, magenta, cyan, white) to PC order.
  static constexpr int kAnsiToPc[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  int Fg = 7;
  if (!VTERM_COLOR_IS_DEFAULT_FG(&Cell.fg) && VTERM_COLOR_IS_INDEXED(&Cell.fg)) {
    int Idx = Cell.fg.indexed.idx & 0x0F;
    Fg = kAnsiToPc[Idx & 7] | (Idx & 8);
  }
  if (Cell.attrs.bold) Fg |= 8;
  int Bg = 0;
  if (!VTERM_COLOR_IS_DEFAULT_BG(&Cell.bg) && VTERM_COLOR_IS_INDEXED(&Cell.bg)) Bg = kAnsiToPc[Cell.bg.indexed.idx & 7];
  return static_cast<std::uint8_t>(Fg | (Bg << 4) | (Cell.attrs.blink ? 0x80 : 0));
}

std::string VtermScreen::Text(int ARow) const {
  std::string Row;
  for (int X = 1; X <= FCols; ++X) Row += Char(X, ARow);
  return Row;
}

int VtermScreen::CursorX() const {
  VTermPos Pos{};
  vterm_state_get_cursorpos(vterm_obtain_state(FVt), &Pos);
  return Pos.col + 1;
}

int VtermScreen::CursorY() const {
  VTermPos Pos{};
  vterm_state_get_cursorpos(vterm_obtain_state(FVt), &Pos);
  return Pos.row + 1;
}

std::string VtermScreen::Picture() const {
  std::string All;
  for (int Y = 1; Y <= FRows; ++Y) {
    if (Y > 1) All += '\n';
    All += Text(Y);
  }
  return All;
}

}  // namespace zelkit_test
