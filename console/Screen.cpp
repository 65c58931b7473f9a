// The screen's numbered cursors.
#include "console/Screen.h"

#include <map>

namespace {
std::map<int, QCursor>& Cursors() {
    static std::map<int, QCursor> cursors;
    return cursors;
}
}  // namespace

void SetScreenCursor(int id, const QCursor& cursor) {
    Cursors()[id] = cursor;
}

QCursor ScreenCursor(int id) {
    auto it = Cursors().find(id);
    return it == Cursors().end() ? QCursor(Qt::ArrowCursor) : it->second;
}

void LoadScreenCursors() {
    SetScreenCursor(crVRHandPoint, QCursor(Qt::PointingHandCursor));
}
