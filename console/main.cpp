// The test console program: start-up in dependency order, the two windows, the loop,
// shutdown in reverse order.
#include <QApplication>

#include "console/Program.h"
#include "console/QtEventLoop.h"
#include "platform/framework/Application.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Thread.h"

int main(int argc, char** argv) {
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
