// The test console program: start-up in dependency order, the two windows, the loop,
// shutdown in reverse order.
#include <QApplication>
#include <cstdio>
#include <string>

#include "console/Program.h"
#include "console/QtEventLoop.h"
#include "platform/framework/Application.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"

int main(int argc, char** argv) {
    // Without a display Qt would abort with a page of platform-plugin text.
    if (const std::string refusal = HeadlessStartRefusal(argc, argv); !refusal.empty()) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return 1;
    }
    MainThreadId();
    QApplication app(argc, argv);
    // Start-up in dependency order: runtime and framework, then the console's own units.
    // The console links no database or web unit; their start-ups would run here, first.
    InitFormatSettingsFromLocale();
    InstallQtApplication();
    ProgramStart();

    Application()->Run();

    // Shutdown in reverse order.
    ProgramFinish();
    SetMessageHandler(nullptr);
    Application()->SetEventLoop(CreatePlainEventLoop());
    return 0;
}
