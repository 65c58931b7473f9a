// Demo CGI program in GUI form: its engine sits on a data module, and the request runs
// once the module is loaded. With CGI_DEMO_CGIMODE "server" (or "thread") the first call
// starts a resident instance of the program, and every call hands its request to that
// instance through the exchange files; "normal" answers in the process itself.
//
// It answers with the method, the query string and every form field in plain text; the
// field "wait" delays the answer.
//
// CGI_DEMO_CLOCK_SPEED makes the resident instance's clock run that many times faster
// (its 5 s heartbeat and its polls), so that tests need not wait for them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/rtl/Tick.h"
#include "web/CGISEng.h"
#include "web/HCgiDbg.h"

namespace {

void Answer(THttpEngine* e) {
    // "wait" (ms on the program's clock) keeps the server busy with this request.
    const int32_t wait = StrToIntDef(e->GetField("wait"), 0);
    if (wait > 0) Sleep(static_cast<uint32_t>(std::min(wait, 60000)));
    e->SetHeader("Content-Type", "text/plain");
    e->WriteLn("method=" + e->GetRequestMethod());
    e->WriteLn("query=" + e->GetQueryString());
    std::unique_ptr<TStringList> names = e->GetFieldNames();
    for (int i = 0; i < names->Count(); ++i)
        e->WriteLn("field:" + names->Get(i) + "=" + e->GetField(names->Get(i)));
}

TCGIMode ModeFromEnvironment() {
    const char* m = std::getenv("CGI_DEMO_CGIMODE");
    const std::string mode = m ? m : "server";
    if (mode == "normal") return NormalMode;
    if (mode == "thread") return ServerThreadMode;
    return ServerMode;
}

void UseTestClock() {
    const char* speed = std::getenv("CGI_DEMO_CLOCK_SPEED");
    if (!speed || !IsServerInstance()) return;
    static TVirtualClock clock(std::strtod(speed, nullptr));
    SetTickSource(&clock);
}

}  // namespace

int main(int argc, char** argv) {
    SetCommandLineArguments(argc, argv);
    SetProcessKind(pkGuiProgram);
    UseTestClock();
    try {
        TCGIStdUnit unit;
        auto module = std::make_unique<TComponent>(nullptr);
        auto* engine = new TCGIStdEngine(module.get());
        engine->SetCGIMode(ModeFromEnvironment());
        // Multipart forms (file uploads) are refused unless allowed.
        engine->AllowedMethods()->SetPut(true);
        engine->OnExecRequest = [engine](TObject*) { Answer(engine); };
        // The module is loaded: the engine runs the request, forwards it or serves.
        engine->Loaded();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cgi_server_demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
