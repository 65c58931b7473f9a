// Windows-CGI engine: the request from a profile file, the body from a content file, the
// answer into an output file.
#include "web/CGIWEng.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "web/HCgiDbg.h"

namespace {

constexpr size_t MaxProfileLine = 16383;

thread_local TCGIRequest GWin;

// Created by unit start in a console program, freed by unit end (never at exit: the
// engine's end needs the session lock and the request state).
TCGIWinEngine* GConsoleEngine = nullptr;

std::string FirstArgument() {
    std::vector<std::string> args = CommandLineArguments();
    return args.empty() ? std::string() : args[0];
}

std::string BlanksToUnderscores(std::string s) {
    for (char& c : s)
        if (c == ' ') c = '_';
    return s;
}

// Reads the profile of the first argument into a new list (sorted when asked).
TCGIRequest ReadProfileRequest(bool Sorted) {
    TCGIRequest s;
    auto vars = std::make_unique<TStringList>();
    if (Sorted) {
        vars->SetSorted(true);
        vars->SetDuplicates(dupAccept);
    }
    std::string outputFile;
    ReadProfile(ProfileAbsolutePath(FirstArgument()), outputFile, s.In, vars.get(), s.Out);
    s.Variables = vars.release();
    return s;
}

// Up to Length bytes of the file; false when it cannot be read.
bool ReadExternalFile(const std::string& Path, int64_t Length, std::string& Content) {
    try {
        TFileStream f(Path, fmOpenRead | fmShareDenyNone);
        const int64_t size = f.Size();
        Content.resize(static_cast<size_t>(std::max<int64_t>(0, std::min(Length, size))));
        const int64_t n = Content.empty() ? 0 : f.Read(Content.data(), static_cast<int64_t>(Content.size()));
        if (n < 0) return false;
        Content.resize(static_cast<size_t>(n));
        return true;
    } catch (const Exception&) {
        return false;
    }
}

// A stream on the output file, created when missing; an existing file is emptied first,
// since what it held before is not part of this answer.
TStream* OpenOutputFile(const std::string& Path) {
    int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw EFCreateError("Cannot create file \"" + Path + "\"");
    ::close(fd);
    return new TFileStream(Path, fmOpenWrite | fmShareDenyNone);
}

}  // namespace

bool IsWinCGICall() {
    // Under a web server the arguments come from the query string: never a profile.
    if (!IsWebRequestEnvironment()) {
        const std::string arg = FirstArgument();
        if (!arg.empty() && FileExists(ProfileAbsolutePath(arg))) {
            const std::string version = GetEnvVariable("CGI_VERSION");
            if (version.empty() || UpperCase(version).find("WIN") != std::string::npos) return true;
        }
    }
    return IsServerInstance();
}

std::string ProfileAbsolutePath(const std::string& Path) {
    if (Path.empty() || IsAbsolutePath(Path)) return Path;
    char buf[4096];
    if (!::getcwd(buf, sizeof(buf))) return Path;
    std::string dir(buf);
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir + Path;
}

bool ReadProfileLine(TStream& Profile, std::string& Line, bool& EndedByCR) {
    Line.clear();
    EndedByCR = false;
    bool any = false;
    char c;
    while (Line.size() < MaxProfileLine && Profile.Read(&c, 1) == 1) {
        any = true;
        if (c == '\r') {
            EndedByCR = true;
            // The LF of a CR LF pair starts no line of its own.
            if (Profile.Read(&c, 1) == 1 && c != '\n') Profile.Seek(-1, soCurrent);
            return true;
        }
        Line += c;
    }
    return any;
}

TProfileLineKind ParseProfileLine(const std::string& Line, std::string& Section, std::string& Key,
                                  std::string& Value) {
    const std::string line = TrimLeft(Line);
    if (!line.empty() && line[0] == '[') {
        size_t close = line.find(']');
        std::string name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        Section = BlanksToUnderscores(UpperCase(Trim(name)));
        return plSection;
    }
    size_t eq = Line.find('=');
    if (eq == std::string::npos) return plNone;
    Key = Trim(Line.substr(0, eq));
    Value = Trim(Line.substr(eq + 1));
    return plKeyValue;
}

void ReadProfile(const std::string& FileName, std::string& OutputFileName, TStream*& InStream,
                 TStrings* Variables, TStream*& OutStream) {
    InStream = nullptr;
    OutStream = nullptr;
    TMemoryStream profile;
    {
        TFileStream f(FileName, fmOpenRead | fmShareDenyNone);
        profile.LoadFromStream(f);
    }
    profile.SetPosition(0);

    std::unique_ptr<TMemoryStream> form;
    auto appendForm = [&](const std::string& key, const std::string& content) {
        if (!form) form = std::make_unique<TMemoryStream>();
        // The key is a field's name as the form sent it, before encoding.
        const std::string pair = UrlEncode(key) + "=" + UrlEncode(content) + "&";
        form->WriteBuffer(pair.data(), static_cast<int64_t>(pair.size()));
    };
    std::string accept, section, line, key, value;
    // The answer's and the body's files: the server's own, never a client header's.
    std::string outputFile, contentFile;
    // The client's headers, added once the server's own variables are all known.
    std::vector<std::pair<std::string, std::string>> extraHeaders;
    bool endedByCR = false;
    while (ReadProfileLine(profile, line, endedByCR)) {
        if (ParseProfileLine(line, section, key, value) != plKeyValue) continue;
        if (section == "CGI" || section == "SYSTEM") {
            const std::string name = BlanksToUnderscores(key);
            Variables->Add(name + "=" + value);
            if (section == "SYSTEM" && SameText(name, "OUTPUT_FILE") && outputFile.empty())
                outputFile = value;
            if (section == "SYSTEM" && SameText(name, "CONTENT_FILE") && contentFile.empty())
                contentFile = value;
        } else if (section == "EXTRA_HEADERS") {
            extraHeaders.emplace_back(BlanksToUnderscores(key), value);
        } else if (section == "ACCEPT") {
            if (SameText(value, "Yes")) accept += (accept.empty() ? "" : ",") + key;
        } else if (section == "FORM_LITERAL") {
            appendForm(key, value);
        } else if (section == "FORM_EXTERNAL") {
            // "path length": the length is the last token, at most 10 digits.
            const size_t blank = value.find_last_of(' ');
            if (blank == std::string::npos) continue;
            const std::string path = Trim(value.substr(0, blank));
            const std::string digits = value.substr(blank + 1);
            if (digits.empty() || digits.size() > 10 ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::string content;
            if (ReadExternalFile(ProfileAbsolutePath(path), std::stoll(digits), content))
                appendForm(key, content);
        }
    }
    AddClientHeaderVariables(Variables, extraHeaders);
    if (!accept.empty()) Variables->Add("HTTP_ACCEPT=" + accept);

    OutputFileName = ProfileAbsolutePath(outputFile);
    contentFile = ProfileAbsolutePath(contentFile);
    if (!contentFile.empty() && FileExists(contentFile)) {
        form.reset();
        InStream = new TFileStream(contentFile, fmOpenRead | fmShareDenyNone);
    } else if (form) {
        form->SetPosition(0);
        InStream = form.release();
    }
    try {
        OutStream = OpenOutputFile(OutputFileName);
    } catch (...) {
        delete InStream;
        InStream = nullptr;
        throw;
    }
}

void PrepareWinCGIRequest() {
    TCGIUnitKind kind;
    kind.CallTest = IsWinCGICall();
    kind.ReadRequest = [](TCGIRequest&, bool sorted) { return ReadProfileRequest(sorted); };
    kind.CreateConsoleEngine = [] {
        delete GConsoleEngine;
        GConsoleEngine = new TCGIWinEngine(nullptr);
    };
    PrepareCGIRequest(GWin, kind);
}

void FinishWinCGIRequest() {
    if (IsConsoleProcess() && IsWinCGICall()) TerminateCGIProcessRequest();
    GWin.Free();
    delete GConsoleEngine;
    GConsoleEngine = nullptr;
}

TCGIWinEngine* CGIWinEngine() {
    return GConsoleEngine;
}

TCGIWinEngine::TCGIWinEngine(TComponent* AOwner) : THttpCGIEngine(AOwner) {}

void TCGIWinEngine::Loaded() {
    LoadedForCall(IsWinCGICall());
}

void TCGIWinEngine::Run() {
    RunPrepared(GWin);
}

void TCGIWinEngine::RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    if (!IsWinCGICall()) {
        if (InStream != OutStream) delete InStream;
        delete OutStream;
        delete Variables;
        return;
    }
    if (OutStream) {
        ProcessRequest(InStream, OutStream, Variables);
        return;
    }
    delete Variables;
    RunOwnRequest(666, [] { return ReadProfileRequest(true); });
}
