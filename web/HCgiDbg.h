#pragma once
// Server mode of the CGI engines: one resident instance of the program answers the
// requests that short-lived CGI instances hand it through files in an exchange directory.
// This header holds what the CGI engines ask of it (is this the server, is one running),
// the hooks through which the exchange is installed, and the exchange's operations.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/DateTime.h"

class THttpEngine;

// Exchange directory, relative to the program's directory unless absolute.
inline constexpr const char* DefaultServerDir = "temp";
// A GUI server whose tick file is older than this is taken for dead.
inline constexpr int32_t ServerStaleSeconds = 30;
// A console debug server is found only within this many seconds of its start.
inline constexpr int32_t DebugServerStaleSeconds = 6;
inline constexpr int32_t ServerResponseTimeout = 180;  // seconds
inline constexpr int32_t ServerMaxClients = 20;
// The resident server is started with these arguments.
inline constexpr const char* StartServerSwitch = "$$START_SERVER";

// The program's command-line arguments, without the program name. Read from the process
// unless a program (or a test) sets them.
std::vector<std::string> CommandLineArguments();
void SetCommandLineArguments(std::vector<std::string> Args);
void SetCommandLineArguments(int argc, char** argv);
// Forgets what was set: the process's own arguments count again.
void ResetCommandLineArguments();

// The environment holds REQUEST_METHOD: this process answers a web request, and its
// arguments (a query string without '=' arrives as arguments) are not switches.
bool IsWebRequestEnvironment();

// This process is (to become) the resident server: outside a web server with no
// arguments, or started with the two arguments "$$START_SERVER X".
bool IsServerInstance();

// The directory of the exchange files, ending with '/'.
std::string GetExchangeRoot();
// Every exchange file name begins with this: the root, the program's file name and "_".
std::string GetExchangePrefix();
// The server's heartbeat file.
std::string GetTickFileName();

// This process serves as the server.
bool ServerFlag();
void SetServerFlag(bool Value);
// A server is running: this process is one, or the tick file is younger than 6 s (console)
// or ServerStaleSeconds (GUI).
bool ServerIsRunning();

// Starts the program again, detached and without a window, with the arguments
// "$$START_SERVER X". False when it could not be started.
bool StartResidentServer();

// The exchange itself. Each hook is installed by the server-mode unit; without it, the
// engines answer the request in this process.
struct TServerModeHooks {
    // Hands the request to the resident server, copies its answer to OutStream and ends
    // the process. Takes the streams and the variables.
    std::function<void(TStream* InStream, TStream* OutStream, TStrings* Variables)> ForwardRequestToServer;
    // The same for a console debug server started by hand.
    std::function<void(TStream* InStream, TStream* OutStream, TStrings* Variables)>
        ForwardRequestToDebugServer;
    // Waits for one request handed to this console debug server; replaces the streams
    // and supplies the variables.
    std::function<void(TStream*& InStream, TStream*& OutStream, TStrings*& Variables)> DebugServerWaitRequest;
    // Serves requests until the server is told to stop, then ends the process.
    std::function<void(THttpEngine* Engine)> ServerMainLoop;
};
void SetServerModeHooks(TServerModeHooks Hooks);
TServerModeHooks ServerModeHooks();

// The exchange itself, installed as the hooks above when the program starts.
void ForwardRequestToServer(TStream* InStream, TStream* OutStream, TStrings* Variables);
void ForwardRequestToDebugServer(TStream* InStream, TStream* OutStream, TStrings* Variables);
void ServerMainLoop(THttpEngine* Engine);
void DebugServerWaitRequest(TStream*& InStream, TStream*& OutStream, TStrings*& Variables);
// Runs one claimed request: Base + "cnf" in, Base + "ind" out, renamed to Base + "rsp".
void ServerRunRequestFile(THttpEngine* Engine, const std::string& Base);
// The request file's variable block: one name=value per CR LF line.
TStringList* ParseVariableBlock(const std::string& Text);
// Deletes the files matching Mask (wildcard '*', any case) dated before Before; files
// another opener holds are left alone.
void DeleteStaleFiles(const std::string& Mask, TDateTime Before);
// The same for the exchange files of Prefix: its tick file and requests' files (address,
// '_', hex digits, '_', kind). Other files whose names begin with Prefix, such as another
// program's whose name begins with this one's and '_', are left.
void DeleteExchangeFiles(const std::string& Prefix, TDateTime Before);
// Opens an exchange file shared, up to Tries attempts 500 ms apart.
std::unique_ptr<TStream> OpenShareStream(const std::string& Name, bool ForWriting, int Tries);
// Writes a request file: the variables, CONTENT_LENGTH when missing, a blank line, the body.
void CGIServerExchange(TStream& RequestFile, TStream* InStream, TStrings* Variables, bool Watch);
