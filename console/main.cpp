// The test console program: start-up in dependency order, the two windows, the loop,
// shutdown in reverse order.
#include <QApplication>

#include "console/QtEventLoop.h"
#include "console/Screen.h"
#include "console/Unit1.h"
#include "console/Unit2.h"
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
    LoadScreenCursors();

    Application()->SetTitle("ANT Zelto");
    QApplication::setApplicationName("ANT Zelto");
    Form1 = new TForm1();
    Form1->EndsProgramOnClose = true;
    Form2 = new TForm2(Form1);
    Form1->LifetimeForm = Form2;
    Form1->show();

    Application()->Run();

    // Shutdown in reverse order.
    delete Form2;
    delete Form1;
    SetMessageHandler(nullptr);
    Application()->SetEventLoop(CreatePlainEventLoop());
    return 0;
}
