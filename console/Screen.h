#pragma once
// The screen's numbered cursors (the framework's Screen.Cursors table).
#include <QCursor>

constexpr int crVRHandPoint = 99;

void SetScreenCursor(int id, const QCursor& cursor);
// The cursor stored under `id`, or the arrow when none is.
QCursor ScreenCursor(int id);
// Loads the program's own cursors: the hand point as number 99.
void LoadScreenCursors();
