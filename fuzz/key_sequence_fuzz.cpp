// The decoder of callers' and terminals' key sequences on hostile bytes, driven as the key readers
// drive it: every ESC outside a sequence starts one. A sequence never runs past its length limit
// (a client that never sends the final byte cannot hold the reader), a key is always one of the PC
// scan codes the decoder names, and a byte that cannot continue a sequence is read afresh.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "console/console_keys.h"

namespace {

bool IsKnownScan(std::uint8_t AScan) {
  switch (AScan) {
    case 71: case 72: case 73: case 75: case 77: case 79: case 80: case 81: case 82: case 83:
    case 133: case 134:
      return true;
    default:
      return AScan >= 59 && AScan <= 68;  // F1-F10
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
  bool InSequence = false;
  TKeySequence Sequence;
  for (std::size_t I = 0; I < ASize; ++I) {
    const std::uint8_t Byte = AData[I];
    if (!InSequence) {
      if (Byte == 0x1B) {
        InSequence = true;
        Sequence = TKeySequence{};
      }
      continue;
    }
    std::uint8_t Scan = 0;
    const TKeySequenceStep Step = KeySequenceFeed(Sequence, Byte, Scan);
    if (Sequence.Length > KEY_SEQUENCE_LIMIT + 1) std::abort();
    switch (Step) {
      case kqMore:
        if (Sequence.Length > KEY_SEQUENCE_LIMIT) std::abort();
        break;
      case kqKey:
        if (!IsKnownScan(Scan)) std::abort();
        InSequence = false;
        break;
      case kqNoKey:
        InSequence = false;
        break;
      case kqNotSequence:
        // The byte is a key of its own; an ESC starts the next sequence.
        InSequence = Byte == 0x1B;
        if (InSequence) Sequence = TKeySequence{};
        break;
    }
  }
  return 0;
}
