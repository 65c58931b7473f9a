#pragma once
// The program's start and finish around the application loop: the title, the screen
// cursors and the two windows, and their teardown in reverse order.

// Title "ANT Zelto", the hand-point cursor, the main window (shown; closing it ends the
// loop), then the lifetime-test window (hidden). Needs the Qt application and loop.
void ProgramStart();
// Frees the windows in reverse order of creation.
void ProgramFinish();
