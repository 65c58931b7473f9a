// The program's start and finish around the loop.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QScreen>
#include <cstring>
#include <fstream>
#include <optional>

#include "ConsoleTestSupport.h"
#include "console/Program.h"
#include "console/Screen.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "db/components/Sessions.h"
#include "db/engine/DataSession.h"
#include "tests/support/EnvScope.h"
#include "web/HUtils.h"

namespace {

class ProgramTest : public ConsoleTest {};

TEST_F(ProgramTest, StartOpensTheMainWindowAndKeepsTheLifetimeOneHidden) {
    Application()->SetTitle("");
    SetScreenCursor(crVRHandPoint, QCursor(Qt::ArrowCursor));
    ProgramStart();
    ASSERT_NE(Form1, nullptr);
    ASSERT_NE(Form2, nullptr);
    EXPECT_EQ(Application()->Title(), "ANT Zelto");
    EXPECT_EQ(ScreenCursor(crVRHandPoint).shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_FALSE(Form2->isVisible());
    const QPoint offCentre =
        Form1->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 8);  // up to the frame's margins
    Click(Form1->btn3);
    EXPECT_TRUE(Form2->isVisible());

    // Closing the main window ends the loop; the windows go in reverse order.
    EXPECT_FALSE(Application()->Terminated());
    Form1->close();
    EXPECT_TRUE(Application()->Terminated());
    ProgramFinish();
    EXPECT_EQ(Form1, nullptr);
    EXPECT_EQ(Form2, nullptr);
    Application()->ResetTerminated();
}

// The database and web units start before the windows and finish after them: the session
// "Default" is there from the start, and the finish finishes the engine it started.
TEST(ProgramUnitsTest, DatabaseAndWebUnitsStartFirstAndFinishLast) {
    const TProcessKind kind = ProcessKind();
    StartLinkedUnits();
    EXPECT_EQ(pkGuiProgram, ProcessKind());
    TZIZIVUSession* def = Sessions().FindSession("");
    ASSERT_NE(nullptr, def);
    EXPECT_EQ("Default", def->SessionName());
    EXPECT_FALSE(EngineInitialized());  // started when a component first needs it
    def->SetActive(true);
    EXPECT_TRUE(EngineInitialized());
    FinishLinkedUnits();
    EXPECT_FALSE(EngineInitialized());
    // A second start makes a fresh list with its own "Default".
    StartLinkedUnits();
    EXPECT_FALSE(Sessions().FindSession("")->Active());
    FinishLinkedUnits();
    SetProcessKind(kind);
}

// A listening socket at Path, as a display server has.
class TListeningSocket {
public:
    explicit TListeningSocket(const std::string& path) : FPath(path) {
        FSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(FSocket, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        EXPECT_EQ(::listen(FSocket, 4), 0);
    }
    ~TListeningSocket() {
        ::close(FSocket);
        ::unlink(FPath.c_str());
    }

private:
    std::string FPath;
    int FSocket = -1;
};

TEST(ProgramEntryTest, StartsOnlyWithADisplayOrAChosenPlatform) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("zelto-display-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    TListeningSocket wayland(dir + "/wayland-test");
    std::ofstream(dir + "/not-a-socket") << "x";
    using Args = std::vector<std::string>;
    const std::nullopt_t unset = std::nullopt;
    const struct {
        std::optional<std::string> display, wayland, platform;
        Args args;
        bool starts;
    } cases[] = {
        {unset, unset, unset, {}, false},
        {"", "", "", {}, false},
        {unset, unset, "offscreen", {}, true},
        {unset, unset, unset, {"-platform", "offscreen"}, true},
        {unset, unset, unset, {"--platform", "offscreen"}, true},
        {unset, unset, unset, {"-style", "fusion"}, false},
        {":64999", unset, unset, {}, false},                 // no X server listens there
        {"nonsense", unset, unset, {}, false},               //
        {"far-away.example:0", unset, unset, {}, true},      // another host: Qt tries it
        {unset, dir + "/wayland-test", unset, {}, true},     // a Wayland server listens
        {unset, dir + "/not-a-socket", unset, {}, false},    //
        {unset, dir + "/gone", unset, {}, false},            //
        {":64999", dir + "/wayland-test", unset, {}, true},  // either display will do
    };
    for (const auto& c : cases) {
        TEnvScope env(
            {{"DISPLAY", c.display}, {"WAYLAND_DISPLAY", c.wayland}, {"QT_QPA_PLATFORM", c.platform}});
        std::vector<char*> argv{const_cast<char*>("zelto-console")};
        for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string refusal = HeadlessStartRefusal(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(refusal.empty(), c.starts) << c.display.value_or("-") << " " << c.wayland.value_or("-")
                                             << " " << c.platform.value_or("-") << " " << c.args.size();
    }
    std::filesystem::remove_all(dir);
}

// The program itself, started where there is no display: one line, status 1, no abort.
TEST(ProgramEntryTest, ProgramWithoutADisplaySaysSoInOneLine) {
    const char* bin = std::getenv("ZELTO_TEST_BINARY_DIR");
    if (!bin || !*bin) GTEST_SKIP() << "ZELTO_TEST_BINARY_DIR not set";
    const std::string program = std::string(bin) + "/console/zelto-console";
    ASSERT_EQ(::access(program.c_str(), X_OK), 0) << program;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string s(*e);
        const std::string name = s.substr(0, s.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM") env.push_back(s);
    }
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ::execve(argv[0], argv, envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof(buf))) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << text;
    EXPECT_EQ(WEXITSTATUS(status), 1) << text;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    EXPECT_NE(text.find("desktop session"), std::string::npos) << text;
    EXPECT_NE(text.find("xvfb-run make run"), std::string::npos) << text;
}

}  // namespace
