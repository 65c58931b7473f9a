#pragma once
// The application object's loop and message boxes over Qt, for the console. Qt events,
// posted calls, synchronised calls and framework timers all run from the Qt event
// dispatcher, so they keep flowing inside modal dialogs and pumping waits alike.
#include <memory>
#include <string>

#include "platform/framework/Application.h"
#include "platform/framework/Dialogs.h"

// The loop; needs a QApplication on the main thread.
std::unique_ptr<IEventLoop> CreateQtEventLoop();

// Message boxes as Qt dialogs (icon and buttons from the flags), beeps as Qt beeps.
class TQtMessageHandler : public IMessageHandler {
public:
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    void Beep(unsigned type) override;
};

// Puts the application object on the Qt loop and installs the Qt message boxes.
void InstallQtApplication();
