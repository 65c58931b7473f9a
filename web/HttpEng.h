#pragma once
// The web engine component. A host adapter (CGI, server mode, ISAPI, WSAPI) hands it one
// request as an input stream, an output stream and a list of server variables; the engine
// reads the form input, fires the application's events in a fixed order, collects what the
// application writes, adds the automatic headers and sends headers and body through the
// adapter's SendHeaderLine / EndHeaders.
//
// Request state lives per thread (TRequestContext), so a library can serve requests on
// several threads at once. The process engine is one global that every request reassigns.
#include <signal.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/framework/Component.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"
#include "web/HFileUp.h"
#include "web/HUtils.h"

class THttpEngine;

inline constexpr const char* HttpVersionText = "HTTP/1.1";
inline constexpr const char* HttpEngineVersion = "7.0.1";
// Reading watchdog: armed for bodies of this many bytes or more, checked every
// WatchDogInterval ms, ends the process WatchDogTimeout ms after the last byte.
inline constexpr int32_t WatchDogMinContentLength = 2049;
inline constexpr uint32_t WatchDogInterval = 25;
inline constexpr uint32_t WatchDogTimeout = 30000;

enum TCGIMode { NormalMode, ServerMode, ServerThreadMode };
enum TDebugMode { NoDebug, DebugException, DebugAlways };
enum TSessionType { sPrivateCookie, sPrivateAuth, sGlobal };
enum TSessionVisibility { ThisApplication, AllApplications };

// Which request methods the input reader accepts. A changed value is passed on to the
// process engine's AllowedMethods.
class TAllowedMethods : public TPersistent {
public:
    bool Get() const { return FGet; }
    void SetGet(bool v);
    bool Put() const { return FPut; }
    void SetPut(bool v);
    bool Post() const { return FPost; }
    void SetPost(bool v);
    void Assign(TPersistent* Source) override;

private:
    bool FGet = true;
    bool FPut = false;
    bool FPost = true;
};

// Session settings. FileBased and Visibility are coupled: a session shared by all
// applications must live in a file. A changed value is passed on to the process engine's
// CGISession.
class TSessionProperties : public TPersistent {
public:
    const std::string& SessionName() const { return FSessionName; }
    void SetSessionName(const std::string& v);
    TSessionType SessionType() const { return FSessionType; }
    void SetSessionType(TSessionType v);
    bool FileBased() const { return FFileBased; }
    void SetFileBased(bool v);
    TSessionVisibility Visibility() const { return FVisibility; }
    void SetVisibility(TSessionVisibility v);
    const std::string& EncryptionKey() const { return FEncryptionKey; }
    void SetEncryptionKey(const std::string& v);
    void Assign(TPersistent* Source) override;

private:
    std::string FSessionName;
    TSessionType FSessionType = sPrivateCookie;
    bool FFileBased = false;
    TSessionVisibility FVisibility = ThisApplication;
    std::string FEncryptionKey;
};

using TExecRequestEvent = TNotifyEvent;
using TFirstExecRequestEvent = TNotifyEvent;
using TLastExecRequestEvent = TNotifyEvent;
using TPrepareRequestEvent = TNotifyEvent;
using TRequestErrorEvent = std::function<void(TObject* Sender, Exception& ErrorReason)>;
using TResponseReadyEvent = std::function<void(TObject* Sender, TStringList* Headers, TMemoryStream* Buffer)>;
using TRemoveSessionObjectEvent =
    std::function<void(TObject* Sender, const std::string& ClassName, TObject* Value)>;

// The request's session variables as the engine sees them; the sessions unit implements it.
class TRequestSessionStore : public TObject {
public:
    // Saves a file-based session that is not saved yet; FreeAll also drops every session.
    virtual void ReleaseRequest(bool FreeAll) = 0;
};

// Ends every session of the process (installed by the sessions unit; called when an
// engine is destroyed).
void SetExpireAllSessionsHook(std::function<void()> Hook);

// Per-thread request state. ProcessRequest resets it on entry; EndRequest frees what the
// request owns.
struct TRequestContext {
    TRequestContext();
    ~TRequestContext();
    TRequestContext(const TRequestContext&) = delete;
    TRequestContext& operator=(const TRequestContext&) = delete;

    // Frees every object of the previous request and starts a fresh state.
    void Reset();
    // Frees the streams, variables, logs and session; empties the lists and buffer and
    // deletes the upload temp files.
    void ReleaseRequestObjects();

    TStream* InStream = nullptr;                 // owned
    TStream* OutStream = nullptr;                // owned; may be the same object as InStream
    std::unique_ptr<TMemoryStream> ClientInput;  // body bytes read (debug modes only)
    std::unique_ptr<TMemoryStream> UserLog;      // this request's log lines (debug modes only)
    std::unique_ptr<TStrings> Variables;
    TStringList FormFields;  // sorted
    TStringList TempFiles;   // upload temp files, deleted at the request's end (and tracked)
    TMemoryStream Buffer;
    TStringList Headers;
    bool HeadersSent = false;
    bool BodySent = false;
    int64_t ContentLengthAdded = -1;  // the length the engine gave the body, or -1
    int32_t RequestId = 0;
    bool PlainTextDebug = false;
    bool PlainTextDebugStarted = false;
    // Write appends to the innermost redirect stream when there is one (not owned).
    std::vector<TStream*> RedirectStreams;
    std::unique_ptr<TRequestSessionStore> SessionVariables;

    // This request holds the server-mode lock.
    bool ServerLockEntered = false;
    // Guards for the operations that chain into each other.
    bool InFlush = false;
    bool EndRequestDone = false;
    bool Terminating = false;
    bool Reporting = false;
    // A write of the answer failed (the client or the web server went away): nothing more
    // is written for this request.
    bool AnswerLost = false;
};

// The calling thread's request state.
TRequestContext& RequestContext();

// The engine of the request in progress, or the last engine created.
THttpEngine* ProcessEngine();
void SetProcessEngine(THttpEngine* Engine);

class THttpEngine : public TComponent {
public:
    explicit THttpEngine(TComponent* AOwner);
    ~THttpEngine() override;

    // Runs one request; takes ownership of both streams (which may be one object) and of
    // the variable list (name=value lines).
    void ProcessRequest(TStream* InStream, TStream* OutStream, TStrings* Variables);

    // Published properties.
    TAllowedMethods* AllowedMethods() const { return FAllowedMethods; }
    const std::string& AutoContentType() const { return FAutoContentType; }
    bool AutoReadInput() const { return FAutoReadInput; }
    int32_t AutoReadLimit() const { return FAutoReadLimit; }
    bool AutoHttpHeader() const { return FAutoHttpHeader; }
    TCGIMode CGIMode() const { return FCGIMode; }
    TDebugMode DebugMode() const { return FDebugMode; }
    bool NoCache() const { return FNoCache; }
    const std::string& TempDir() const { return FTempDir; }
    std::string Version() const { return HttpEngineVersion; }
    TSessionProperties* CGISession() const { return FCGISession; }
    std::string SessionName() const { return FCGISession->SessionName(); }
    bool BufferedOutput() const { return FBufferedOutput; }
    bool TrimFields() const { return FTrimFields; }

    // Events (fired only when set). The Set... forms also pass the handler on to the
    // process engine.
    TRemoveSessionObjectEvent OnRemoveSessionObject;
    TExecRequestEvent OnExecRequest;
    TFirstExecRequestEvent OnFirstExecRequest;
    TLastExecRequestEvent OnLastExecRequest;
    TPrepareRequestEvent OnPrepareRequest;
    TRequestErrorEvent OnRequestError;
    TUploadPrepareFileEvent OnUploadPrepareFile;
    TResponseReadyEvent OnResponseReady;

    // Adapter operations: write one header line, and the blank line after the headers.
    virtual void SendHeaderLine(const std::string& Name, const std::string& Value) = 0;
    virtual void EndHeaders() = 0;
    // Called at the start of every request.
    virtual void BeforeRequest();
    // A server variable the adapter's host knows beyond the list (empty here).
    virtual std::string GetHostServerVariable(const std::string& Name);
    virtual void EndRequest();

    virtual std::string GetServerSoftware();
    virtual std::string GetGatewayInterface();
    virtual std::string GetServerProtocol();
    virtual std::string GetServerPort();
    virtual bool GetServerPortSecure();
    virtual std::string GetRequestMethod();
    virtual std::string GetPathInfo();
    virtual std::string GetPathTranslated();
    virtual std::string GetScriptName();
    virtual std::string GetQueryString();
    virtual std::string GetRemoteHost();
    virtual std::string GetRemoteAddr();
    virtual std::string GetAuthType();
    virtual std::string GetRemoteUser();
    virtual std::string GetRemoteIdent();
    virtual std::string GetContentType();
    virtual int32_t GetContentLength();
    virtual std::string GetUrl();
    virtual std::string GetUserAgent();
    virtual std::string GetHttpCookie();
    virtual std::string GetHttpReferer();
    virtual std::string GetExecutablePath();

    virtual void SetOnResponseReady(TResponseReadyEvent v);
    virtual void SetOnExecRequest(TExecRequestEvent v);
    virtual void SetOnFirstExecRequest(TFirstExecRequestEvent v);
    virtual void SetOnLastExecRequest(TLastExecRequestEvent v);
    virtual void SetOnPrepareRequest(TPrepareRequestEvent v);
    virtual void SetOnRequestError(TRequestErrorEvent v);
    virtual void SetOnUploadPrepareFile(TUploadPrepareFileEvent v);
    virtual void SetOnRemoveSessionObject(TRemoveSessionObjectEvent v);
    virtual void SetAutoContentType(const std::string& v);
    virtual void SetAutoHttpHeader(bool v);
    virtual void SetAutoReadInput(bool v);
    virtual void SetTrimFields(bool v);
    virtual void SetAutoReadLimit(int32_t v);
    virtual void SetCGIMode(TCGIMode v);
    virtual void SetDebugMode(TDebugMode v);
    virtual void SetNoCache(bool v);
    virtual void SetTempDir(const std::string& v);
    virtual void SetSessionName(const std::string& v);
    virtual void SetBufferedOutput(bool v);

    // Empty here; the console CGI engines run their request from it.
    virtual void Run();
    // Sends what is queued: the headers once (with the automatic ones), then the buffer.
    virtual void Flush();
    // Drops the queued headers and the buffered body.
    virtual void ClearOutput();
    // Queues a header; "Status..." and "HTTP/..." go before all others.
    virtual void SetHeader(const std::string& Name, const std::string& Value);
    // Headers for a file download; the caller writes the file's bytes.
    virtual void SendFile(const std::string& FileName, const std::string& ContentType);
    virtual void Write(const std::string& Text);
    virtual void WriteLn(const std::string& Text);
    virtual void WriteStream(TStream* Stream);
    virtual void WriteBuffer(const void* Buffer, int32_t Count);
    // Reads up to Count body bytes; -1 without an input stream or when the first read fails.
    virtual int32_t ReadClient(void* Buffer, int32_t Count);
    virtual std::string GetServerVariable(const std::string& Name);
    // The field's value (trimmed when TrimFields), or Default when it is empty.
    virtual std::string GetField(const std::string& Name, const std::string& Default = "");
    // Ends the request and the process (see TerminateEngineProcess).
    virtual void Terminate();
    // The names of all form fields in list order.
    virtual std::unique_ptr<TStringList> GetFieldNames();
    virtual void RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) = 0;

    void Loaded() override;

    // The CGI engines answer True; they end the process after an error page, and their
    // CGIAutoTerminate decides whether Terminate ends the request.
    virtual bool IsCGIEngine() const { return false; }
    virtual bool CGIAutoTerminate() const { return false; }

    // Sends and clears the queued headers, then EndHeaders.
    void SendHeaders();
    // "OPERA", "MSIE", "NETSCAPE" or "UNKNOWN", from the user agent.
    std::string GetBrowserName();
    // The client accepts WML.
    bool IsWapClient();
    // The first 512 bytes of the buffer contain "<wml>".
    bool OutputIsWml();
    // Answers with plain text: the status line and type go out now, and the application's
    // headers, the log, the input and the variables follow as text.
    void StartPlainTextDebug();
    void ReportException(const Exception& E);
    void ShowUnhandledException(const Exception& E);
    // The application object's last-resort handler: logs and halts.
    void HandleException(TObject* Sender, const Exception& E);
    // Reads the form input of the request into Fields.
    void ReadInput(TStrings* Fields);
    // Default target of uploaded files: a new, exclusively created temp file.
    void PrepareUploadFile(TObject* Sender, TStrings* ContentInfo, TStream*& OutStream, bool& FreeOutStream,
                           bool& CancelUpload);
    // The request's session store; raises "No Session started" when there is none.
    TRequestSessionStore* CurrentSession();

protected:
    // The process engine when it is another object: the target of forwarded settings.
    THttpEngine* ForwardTarget() const;

private:
    void AddContentLength();
    void AdjustContentLength(int64_t Delta);
    bool PrologueWillBeWritten();
    void WriteToOutput(const std::string& Bytes);
    // Runs Send, which writes to the output stream. A write that fails loses the answer:
    // one log line, and every later write of the request is skipped.
    void SendToOutput(const std::function<void()>& Send);
    void HandleRequestError(Exception& E);

    TAllowedMethods* FAllowedMethods = nullptr;
    TSessionProperties* FCGISession = nullptr;
    std::string FAutoContentType = "text/html";
    bool FAutoReadInput = true;
    int32_t FAutoReadLimit = 0;
    bool FAutoHttpHeader = true;
    TCGIMode FCGIMode = NormalMode;
    TDebugMode FDebugMode = NoDebug;
    bool FNoCache = false;
    std::string FTempDir = "Temp";
    bool FBufferedOutput = true;
    bool FTrimFields = true;
};

// Flushes and ends the request, stops the reading watchdog, releases the session and, in a
// program, asks the application to quit. Safe to call again while it runs.
void TerminateEngineProcess();
// Stops and frees the reading watchdog thread.
void StopReadingWatchdog();
// Files that must not outlive the process however it ends: the upload temporaries of the
// requests in progress, and the exchange files of a client of the resident server.
void TrackTempFile(const std::string& Name);
void ForgetTempFile(const std::string& Name);
// Deletes every tracked file: the watchdogs do so before they end the process, so a
// stalled request leaves no file behind. It first waits for the files being made under a
// TTrackedFileCreation. Async-signal-safe.
void DeleteTrackedTempFiles();
// Brackets the making of one file that is to be tracked. An end signal may be handled on
// any thread that does not block it: this one blocks them meanwhile, and a handler on
// another thread waits until the file is made and tracked. Once an end signal has come,
// no file is made (Allowed is false): the process is ending.
class TTrackedFileCreation {
public:
    TTrackedFileCreation();
    ~TTrackedFileCreation();
    TTrackedFileCreation(const TTrackedFileCreation&) = delete;
    TTrackedFileCreation& operator=(const TTrackedFileCreation&) = delete;
    bool Allowed() const { return FAllowed; }

private:
    sigset_t FPrevious;
    bool FAllowed;
};
// Makes SIGTERM, SIGINT and SIGHUP delete the tracked files before they end the process
// (a web server stops a CGI program with SIGTERM when its client went away, and as soon
// as the program's answer is complete).
void DeleteTempFilesOnEndSignals();

// Every '"', '&', '<', '>' and every character of code 160 or above becomes
// "&#<code>;". A well-formed UTF-8 sequence is one character (its code point); any other
// byte is a character of its own, as on a single-byte page.
std::string HtmlEscape(const std::string& Text);
// Time is local; the result is the RFC 1123 date in GMT ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string HttpDate(TDateTime Time);
// The log line's date and time: local time as "yyyy-mm-dd hh:nn:ss.zzz".
std::string LogDateTime();
// Appends "<date time>,  <request id> : <Text>" CR LF to <dir>/<module name>.Log, the
// directory being CGI_LOG_DIR (else "log"), relative to the module's directory unless
// absolute. Never fails.
void WriteLog(const std::string& Text);
// The XML declaration and the WML 1.1 document type, ready to precede a WML body.
std::string WmlPrologue();

void ParseUrlEncoded(TStrings* Fields, const std::string& Text, int32_t Length);
std::string UrlDecode(const std::string& Text);
std::string UrlEncode(const std::string& Text);
void DecodeBasicAuthorization(const std::string& Value, std::string& User, std::string& Password);
// Whether a variable of this name tells who the client is as the server found it (the
// authenticated user, password and method, the address and host, a secure port), so that
// a header the client sent must not stand for it. Case, blanks and '-' do not count.
bool IsServerIdentityVariable(const std::string& Name);
// Adds the headers the client sent (name, value), each under its name, to the variables the
// server gave: not one named as a variable already there, nor as one of the server's
// identity variables.
void AddClientHeaderVariables(TStrings* Variables,
                              const std::vector<std::pair<std::string, std::string>>& Headers);
std::string GetEnvVariable(const std::string& Name);
// The upload parser's reader: the process engine's ReadClient.
int32_t UploadRead(void* Buffer, int32_t Count);
