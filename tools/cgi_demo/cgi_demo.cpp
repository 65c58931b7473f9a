// Demo CGI program: answers standard CGI (environment, standard input and output) and
// Windows CGI (a profile file as the first argument) with a plain-text listing of what the
// engine received. Used by the end-to-end tests.
//
// Fields it reacts to: "session" (with CGI_DEMO_SESSION_DIR set) starts a file-based
// session and stores every field named "sv_..." in it; "clear" empties that session;
// "status" sets the status line; "fail" raises an error.
//
// CGI_DEMO_CLOCK_SPEED (a number above 1) runs the engine's clock that many times faster
// than real time, so that the reliability battery meets the 30 s reading watchdog quickly.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/Tick.h"
#include "web/CGISEng.h"
#include "web/CGIWEng.h"
#include "web/HCgiDbg.h"
#include "web/HSessVar.h"
#include "web/HUtils.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::string data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) data.append(buf, n);
        std::fclose(f);
    }
    return data;
}

bool SafeName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

void Answer(THttpEngine* e) {
    if (!e->GetField("fail").empty()) throw Exception("demo failure <" + e->GetField("fail") + ">");
    if (std::string status = e->GetField("status"); !status.empty())
        e->SetHeader(std::string(HttpVersionText) + " " + status, "");
    e->SetHeader("Content-Type", "text/plain");
    e->WriteLn("method=" + e->GetRequestMethod());
    e->WriteLn("query=" + e->GetQueryString());
    e->WriteLn("user=" + e->GetServerVariable("AUTH_USER"));
    e->WriteLn("password=" + e->GetServerVariable("AUTH_PASSWORD"));
    e->WriteLn("accept=" + e->GetServerVariable("HTTP_ACCEPT"));
    std::unique_ptr<TStringList> names = e->GetFieldNames();
    for (int i = 0; i < names->Count(); ++i) {
        const std::string name = names->Get(i);
        e->WriteLn("field:" + name + "=" + e->GetField(name));
        // An upload: the field NAME_FILENAME names the temporary copy. Only a file of the
        // upload folder is shown: a client can send a field of that name itself.
        const std::string path = e->GetField(name);
        if (name.size() > 9 && name.substr(name.size() - 9) == "_FILENAME" &&
            path.rfind(ModuleRelativeDir(e->TempDir()), 0) == 0 && path.find("/../") == std::string::npos)
            e->WriteLn("upload:" + name.substr(0, name.size() - 9) + "=" + ReadFile(e->GetField(name)));
    }
    const std::string session = e->GetField("session");
    const char* dir = std::getenv("CGI_DEMO_SESSION_DIR");
    if (SafeName(session) && dir && *dir) {
        TCGISessionVariables* s =
            StartRequestSession(e, session, Now() + 1.0 / 24, std::string(dir) + "/" + session + ".ses");
        if (!e->GetField("clear").empty()) s->Clear();
        auto variables = s->Variables();
        for (int i = 0; i < names->Count(); ++i)
            if (names->Get(i).rfind("sv_", 0) == 0)
                variables->SetValues(names->Get(i), e->GetField(names->Get(i)));
        e->WriteLn("session=" + session + " variables=" + IntToStr(variables->Count()));
    }
}

template <class TEngine>
void Setup(TEngine* e) {
    e->AllowedMethods()->SetPut(true);
    if (const char* t = std::getenv("CGI_DEMO_TEMP"); t && *t) e->SetTempDir(t);
    e->OnExecRequest = [e](TObject*) { Answer(e); };
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* speed = std::getenv("CGI_DEMO_CLOCK_SPEED"); speed && std::atof(speed) > 1) {
        // Never freed: the watchdog thread may read the clock while the process ends.
        static TVirtualClock* clock = new TVirtualClock(std::atof(speed));
        SetTickSource(clock);
    }
    SetCommandLineArguments(argc, argv);
    SetProcessKind(pkConsoleProgram);
    try {
        if (IsWinCGICall() && !IsServerInstance()) {
            TCGIWinUnit unit;
            if (TCGIWinEngine* e = CGIWinEngine()) {
                Setup(e);
                e->Run();
            }
        } else {
            TCGIStdUnit unit;
            if (TCGIStdEngine* e = CGIStdEngine()) {
                Setup(e);
                e->Run();
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cgi_demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
