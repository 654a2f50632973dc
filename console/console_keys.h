#pragma once
// The key sequences that terminals and callers' clients send for the PC's extended keys, decoded a
// byte at a time into PC scan codes. Kit-internal: the console's keyboard and the door's reader of
// the caller's keys share it; it is not one of the kit's installed headers.

#include <cstdint>

enum TKeySequenceState : std::uint8_t {
  ksEscape,     // after ESC
  ksSs3,        // after ESC O (SS3, ECMA-48 8.3.143), modifier digits may follow
  ksCsi,        // after ESC [ (CSI, ECMA-48 5.4): parameters, intermediates, one final byte
  ksLinuxF,     // after ESC [ [: the Linux console's F1-F5
};

// Longest sequence taken as one: real keys are at most a dozen bytes. A longer one (a client that
// never sends the final byte) is dropped at this length, so it cannot hold a key reader for ever.
inline constexpr std::uint32_t KEY_SEQUENCE_LIMIT = 64;

// Where one sequence stands. Start each sequence, after its ESC, with a value-initialised record.
struct TKeySequence {
  TKeySequenceState State = ksEscape;
  std::uint32_t Length = 0;   // bytes fed after the ESC
  std::int32_t First = -1;    // the first parameter; later ones are modifiers (Shift, Ctrl, Alt)
  bool InFirst = true;
  bool Private = false;       // "<", "=", ">", "?" or ":" seen: a report or private sequence, never a key
};

enum TKeySequenceStep : std::uint8_t {
  kqMore,         // the byte belongs to the sequence: feed the next one
  kqKey,          // the sequence is complete and is the key AScan
  kqNoKey,        // the sequence is complete but no key the kit knows (or overlong): it is dropped whole
  kqNotSequence,  // the byte cannot continue the sequence: it is read afresh as a key of its own;
                  // after a lone ESC (Length 1) the ESC is a key, otherwise what came before is dropped
};

// Feeds the next byte after the ESC. Keys (scan codes): arrows ESC [ A-D and ESC O A-D (72, 80, 77,
// 75); Home ESC [ H, ESC O H, ESC [ 1 ~, ESC [ 7 ~ (71); End ESC [ F, ESC O F, ESC [ K, ESC [ 4 ~,
// ESC [ 8 ~ (79); Page Up ESC [ 5 ~, ESC [ V (73); Page Down ESC [ 6 ~, ESC [ U (81); Insert
// ESC [ 2 ~, ESC [ @ (82); Delete ESC [ 3 ~ (83); F1-F4 ESC O P-S; F1-F5 ESC [ 11-15 ~ and
// ESC [ [ A-E; F6-F10 ESC [ 17-21 ~ (59-68); F11, F12 ESC [ 23 ~, 24 ~ (133, 134). Modifier
// parameters (ESC [ 1 ; 5 A) give the same key.
TKeySequenceStep KeySequenceFeed(TKeySequence& ASequence, std::uint8_t AByte, std::uint8_t& AScan);
