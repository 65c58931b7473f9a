// The program's start and finish around the application loop.
#include "console/Program.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "console/Screen.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
#include "db/components/DatabaseUnits.h"
#include "platform/framework/Application.h"
#include "web/HUtils.h"

void StartLinkedUnits() {
    StartDatabaseUnits();
    SetProcessKind(pkGuiProgram);
}

void FinishLinkedUnits() {
    FinishDatabaseUnits();
}

void ProgramStart() {
    LoadScreenCursors();
    Application()->SetTitle("ANT Zelto");
    QApplication::setApplicationName("ANT Zelto");
    Form1 = new TForm1();
    Form1->EndsProgramOnClose = true;
    Form2 = new TForm2(Form1);
    Form1->LifetimeForm = Form2;
    Form1->show();
}

void ProgramFinish() {
    delete Form2;
    delete Form1;
}

namespace {

std::string Env(const char* Name) {
    const char* v = std::getenv(Name);
    return v ? v : "";
}

// A stream socket at Path (a leading '@' names an abstract one) accepts a connection.
bool SocketAnswers(const std::string& Path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (Path.empty() || Path.size() >= sizeof(a.sun_path)) return false;
    std::memcpy(a.sun_path, Path.data(), Path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Path.size());
    if (Path[0] == '@')
        a.sun_path[0] = '\0';
    else
        length += 1;
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), length) == 0;
    ::close(s);
    return ok;
}

// DISPLAY is "[host]:number[.screen]"; a local display listens on the number's socket.
bool XDisplayReachable(const std::string& Display) {
    if (Display.empty()) return false;
    if (Display[0] == '/') return SocketAnswers(Display);
    const size_t colon = Display.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = Display.substr(0, colon);
    if (!host.empty() && host != "unix") return true;
    const std::string number = Display.substr(colon + 1, Display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string path = "/tmp/.X11-unix/X" + number;
    return SocketAnswers("@" + path) || SocketAnswers(path);
}

bool WaylandReachable(const std::string& Name) {
    if (Name.empty()) return false;
    if (Name[0] == '/') return SocketAnswers(Name);
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    return !runtime.empty() && SocketAnswers(runtime + "/" + Name);
}

}  // namespace

std::string HeadlessStartRefusal(int argc, char** argv) {
    if (!Env("QT_QPA_PLATFORM").empty()) return "";
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return "";
    if (XDisplayReachable(Env("DISPLAY")) || WaylandReachable(Env("WAYLAND_DISPLAY"))) return "";
    return "zelto-console: no display found; the test console needs a desktop session (or start it "
           "with `xvfb-run make run`)";
}
