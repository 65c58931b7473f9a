#pragma once
// The program's start and finish around the application loop: the title, the screen
// cursors and the two windows, and their teardown in reverse order.
#include <string>

// Start of the linked database and web units, in dependency order, before the application
// object starts: the engine's lock and language table, the session list and "Default", then
// the web units (this process hosts no web request: a GUI program).
void StartLinkedUnits();
// Their finish in reverse order, after the message loop ended.
void FinishLinkedUnits();

// Title "ANT Zelto", the hand-point cursor, the main window (shown; closing it ends the
// loop), then the lifetime-test window (hidden). Needs the Qt application and loop.
void ProgramStart();
// Frees the windows in reverse order of creation.
void ProgramFinish();

// The console is a desktop program: without a display to reach and with no Qt platform
// chosen (QT_QPA_PLATFORM unset, no -platform argument), Qt cannot start it. Returns the
// one-line reason it cannot start here, or an empty text when it can. Reachable: an X
// display's local socket or a Wayland socket that accepts a connection; a display on
// another host is left for Qt to try.
std::string HeadlessStartRefusal(int argc, char** argv);
