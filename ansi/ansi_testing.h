#pragma once
// Test seam of the ansi unit.

// Puts the interpreter back to its start state: plain text, no pending parameters, saved cursor
// position 1,1 and concealed attribute 7.
void AnsiResetForTesting();
