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
    // Start-up in dependency order: runtime and framework, the database and web units,
    // then the application object and the console's own units.
    InitFormatSettingsFromLocale();
    StartLinkedUnits();
    InstallQtApplication();
    ProgramStart();

    Application()->Run();

    // Shutdown in reverse order.
    ProgramFinish();
    SetMessageHandler(nullptr);
    Application()->SetEventLoop(CreatePlainEventLoop());
    FinishLinkedUnits();
    return 0;
}
