#pragma once
// Process-wide settings shared by the web engine units: what kind of process hosts the
// engine, the module's file name and directory, path normalisation, message pumping and
// how the process ends.
#include <functional>
#include <string>

// Default key of the session cipher (32 upper-case hexadecimal characters).
inline constexpr const char* DefaultEncryptionKey = "5D1E83B0C47F2A96E0B3D58C17A4F62E";
// IV of the session cipher when none is set.
inline constexpr const char* DefaultBlowfishIV = "83vk26tq";

// A CGI engine sends its status line as "Status:" whatever the server (false at start).
bool ForceStatusHeader();
void SetForceStatusHeader(bool Value);

// The engine behaves differently in a console program (a CGI program answering one request
// from its main block), a GUI program (the request runs when the forms are loaded) and a
// library loaded by a web server. Programs set the kind at start; console is the default.
enum TProcessKind { pkConsoleProgram, pkGuiProgram, pkLibrary };
TProcessKind ProcessKind();
void SetProcessKind(TProcessKind Kind);
bool IsConsoleProcess();  // a console program (never a library)
bool IsLibraryProcess();

// Path of the module holding the engine: the shared library when loaded as one, else the
// program. ModuleDirectory ends with '/'.
std::string GetModuleFileName();
std::string ModuleDirectory();

bool IsAbsolutePath(const std::string& Path);
// Trimmed, every "/./" made "/", doubled '/' collapsed, a trailing '/' added.
std::string NormalisePath(const std::string& Path);
// Dir taken relative to the module directory unless absolute, then normalised.
std::string ModuleRelativeDir(const std::string& Dir);

// A length written as a number too large for the engine's Integer lengths. It would read
// as "not a number", i.e. 0, and a body of gigabytes would pass as an empty one.
bool LengthBeyondInteger(const std::string& v);

// Text without its control bytes but TAB: a header line must stay one line, and no client
// or proxy takes a NUL or an escape in one.
std::string StripControlBytes(std::string Text);

// Lets the application handle pending messages; only on the main thread, since library
// request threads must not run the main loop's work.
void ProcessPendingMessages();

// Ends the process with ExitCode. The default flushes standard output and leaves at
// once; hosts that must shut down their own way, and tests, install a handler.
using TProcessExitHandler = std::function<void(int ExitCode)>;
void SetProcessExitHandler(TProcessExitHandler Handler);  // empty restores the default
void ExitEngineProcess(int ExitCode);
