// What the CGI engines ask of server mode: the server instance, a running server, and
// the hooks through which requests are handed over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/framework/Application.h"
#include "platform/rtl/FileDate.h"
#include "tests/web/CgiTestSupport.h"
#include "tests/web/WebTestSupport.h"
#include "web/CGISEng.h"

namespace {

class CgiServerModeTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetServerModeHooks({});
        SetServerFlag(false);
        Application()->ResetTerminated();
    }
};

TEST_F(CgiServerModeTest, RunningServerFromTheTickFile) {
    const std::string tick = GetTickFileName();
    ASSERT_EQ(tick.rfind(GetExchangePrefix(), 0), 0u);
    EXPECT_EQ(tick.substr(tick.size() - 2), "_s");
    ForceDirectories(GetExchangeRoot());
    std::ofstream(tick).close();
    const struct {
        double secondsOld;
        bool console, gui;
    } cases[] = {{1, true, true}, {10, false, true}, {40, false, false}};
    for (const auto& c : cases) {
        ASSERT_TRUE(FileSetDate(tick, Now() - c.secondsOld / 86400));
        {
            TProcessKindScope kind(pkConsoleProgram);
            EXPECT_EQ(ServerIsRunning(), c.console) << c.secondsOld << " s, console";
        }
        TProcessKindScope kind(pkGuiProgram);
        EXPECT_EQ(ServerIsRunning(), c.gui) << c.secondsOld << " s, GUI";
    }
    DeleteFile(tick);
    ::rmdir(GetExchangeRoot().c_str());
    EXPECT_FALSE(ServerIsRunning());
    SetServerFlag(true);
    EXPECT_TRUE(ServerIsRunning());
}

TEST_F(CgiServerModeTest, ServerInstanceEntersTheMainLoopInServerMode) {
    TProcessKindScope gui(pkGuiProgram);
    TEnvScope env(
        {{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", std::nullopt}, {"CGI_VERSION", std::nullopt}});
    TArgsScope args({"$$START_SERVER", "X"});
    THttpEngine* served = nullptr;
    TServerModeHooks hooks;
    hooks.ServerMainLoop = [&](THttpEngine* e) { served = e; };
    SetServerModeHooks(hooks);
    TCGIStdEngine engine(nullptr);
    engine.RunCGI(nullptr, nullptr, nullptr);
    EXPECT_EQ(served, &engine);
    EXPECT_EQ(engine.CGIMode(), ServerMode);
}

TEST_F(CgiServerModeTest, RequestsGoToARunningServer) {
    TEnvScope env({{"SERVER_SOFTWARE", "test"}, {"REQUEST_METHOD", "GET"}, {"CGI_VERSION", std::nullopt}});
    SetServerFlag(true);
    std::vector<std::string> calls;
    auto record = [&](const char* what) {
        return [&calls, what](TStream* in, TStream* out, TStrings* vars) {
            calls.push_back(std::string(what) +
                            (in && out && vars && vars->Values("REQUEST_METHOD") == "GET" ? " ok" : ""));
            if (in != out) delete in;
            delete out;
            delete vars;
        };
    };
    TServerModeHooks hooks;
    hooks.ForwardRequestToServer = record("server");
    hooks.ForwardRequestToDebugServer = record("debug server");
    SetServerModeHooks(hooks);
    {
        TProcessKindScope console(pkConsoleProgram);
        TCGIStdUnit unit;
        ASSERT_NE(CGIStdEngine(), nullptr);
        // The request was handed over: nothing is left to run here.
        CGIStdEngine()->Run();
    }
    {
        TProcessKindScope gui(pkGuiProgram);
        TCGIStdUnit unit;
        EXPECT_EQ(CGIStdEngine(), nullptr);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"debug server ok", "server ok"}));
}

}  // namespace
