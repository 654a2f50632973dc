// The decoder of the extended keys' escape sequences: a byte-at-a-time state table from ESC to the
// final byte, and the tables from final bytes and parameters to PC scan codes.

#include "console/console_keys.h"

#include <algorithm>

namespace {

// Scan code for the final byte of an SS3 or CSI key without a number, 0 for none.
std::uint8_t ScanForFinal(std::uint8_t AFinal, bool ACsi) {
  switch (AFinal) {
    case 'A': return 72;  // up
    case 'B': return 80;  // down
    case 'C': return 77;  // right
    case 'D': return 75;  // left
    case 'H': return 71;  // Home
    case 'F': return 79;  // End
    case 'P': return 59;  // F1 (CSI with a modifier: ESC [ 1 ; 2 P)
    case 'Q': return 60;
    case 'R': return 61;
    case 'S': return 62;  // F4
    default: break;
  }
  if (!ACsi) return 0;
  switch (AFinal) {  // the keys of BBS terminal programs
    case '@': return 82;  // Insert
    case 'K': return 79;  // End
    case 'V': return 73;  // Page Up
    case 'U': return 81;  // Page Down
    default: return 0;
  }
}

// Scan code for CSI <n> ~ (VT220-style editing and function keys, rxvt's Home and End), 0 for none.
std::uint8_t ScanForTilde(std::int32_t ANumber) {
  switch (ANumber) {
    case 1: case 7: return 71;    // Home
    case 2: return 82;            // Insert
    case 3: return 83;            // Delete
    case 4: case 8: return 79;    // End
    case 5: return 73;            // Page Up
    case 6: return 81;            // Page Down
    case 11: case 12: case 13: case 14: case 15: return static_cast<std::uint8_t>(59 + ANumber - 11);  // F1-F5
    case 17: case 18: case 19: case 20: case 21: return static_cast<std::uint8_t>(64 + ANumber - 17);  // F6-F10
    case 23: return 133;          // F11
    case 24: return 134;          // F12
    default: return 0;
  }
}

bool IsFinal(std::uint8_t AByte) { return AByte >= 0x40 && AByte <= 0x7E; }

TKeySequenceStep Complete(std::uint8_t AScan, std::uint8_t& AOut) {
  if (AScan == 0) return kqNoKey;
  AOut = AScan;
  return kqKey;
}

}  // namespace

TKeySequenceStep KeySequenceFeed(TKeySequence& ASequence, std::uint8_t AByte, std::uint8_t& AScan) {
  if (++ASequence.Length > KEY_SEQUENCE_LIMIT) return kqNoKey;
  switch (ASequence.State) {
    case ksEscape:
      if (AByte == '[') {
        ASequence.State = ksCsi;
        return kqMore;
      }
      if (AByte == 'O') {
        ASequence.State = ksSs3;
        return kqMore;
      }
      return kqNotSequence;  // Escape followed by an ordinary key: the Escape stands alone
    case ksSs3:
      if (AByte >= '0' && AByte <= '9') return kqMore;  // modifier digits
      if (!IsFinal(AByte)) return kqNotSequence;
      return Complete(ScanForFinal(AByte, false), AScan);
    case ksLinuxF:
      if (AByte >= 'A' && AByte <= 'E') return Complete(static_cast<std::uint8_t>(59 + AByte - 'A'), AScan);
      return IsFinal(AByte) ? kqNoKey : kqNotSequence;
    case ksCsi:
      if (AByte == '[' && ASequence.Length == 2) {
        ASequence.State = ksLinuxF;
        return kqMore;
      }
      if (AByte >= 0x30 && AByte <= 0x3F) {  // parameter bytes
        if (AByte <= '9') {
          if (ASequence.InFirst) ASequence.First = std::min((ASequence.First < 0 ? 0 : ASequence.First) * 10 + (AByte - '0'), 9999);
        } else if (AByte == ';') {
          ASequence.InFirst = false;
        } else {
          ASequence.Private = true;
        }
        return kqMore;
      }
      if (AByte >= 0x20 && AByte <= 0x2F) return kqMore;  // intermediate bytes
      if (!IsFinal(AByte)) return kqNotSequence;
      if (ASequence.Private) return kqNoKey;
      return Complete(AByte == '~' ? ScanForTilde(ASequence.First) : ScanForFinal(AByte, true), AScan);
  }
  return kqNotSequence;
}
