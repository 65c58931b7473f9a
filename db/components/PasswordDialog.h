#pragma once
// The table-password dialog as the components reach it: a hook that a GUI library installs.
// Without one (a server process, no display) the dialog answers Cancel, so the engine
// reports that a password is required instead of blocking on a window.
#include <functional>

class TZIZIVUSession;

// Shows the dialog for the session modally; true when it was closed with OK.
using TPasswordDialogHook = std::function<bool(TZIZIVUSession* Session)>;

// Installs the dialog (an empty hook removes it).
void SetPasswordDialogHook(TPasswordDialogHook hook);
bool HasPasswordDialogHook();

// True when the user confirmed; false on Cancel or without a dialog.
bool PasswordDialog(TZIZIVUSession* Session);
