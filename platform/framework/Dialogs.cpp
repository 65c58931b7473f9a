// Message boxes and beeps through the installed handler.
#include "platform/framework/Dialogs.h"

#include <atomic>
#include <cstdio>

#include "platform/framework/Application.h"

namespace {
// Headless default: the box goes to stderr and counts as answered with OK.
class TStderrMessageHandler : public IMessageHandler {
public:
    int MessageBox(const std::string& text, const std::string& caption, unsigned /*flags*/) override {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
        return IDOK;
    }
    void Beep(unsigned /*type*/) override { std::fputc('\a', stderr); }
};

TStderrMessageHandler gStderrHandler;
std::atomic<IMessageHandler*> gHandler{nullptr};
}  // namespace

void SetMessageHandler(IMessageHandler* h) {
    gHandler.store(h);
}

IMessageHandler& MessageHandler() {
    IMessageHandler* h = gHandler.load();
    return h ? *h : gStderrHandler;
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    return MessageHandler().MessageBox(text, caption, flags);
}

void MessageBeep(unsigned type) {
    MessageHandler().Beep(type);
}

void ShowMessage(const std::string& text) {
    MessageBox(text, Application()->Title(), MB_OK);
}

int TRecordingMessageHandler::MessageBox(const std::string& text, const std::string& caption,
                                         unsigned flags) {
    Boxes.push_back({text, caption, flags});
    return Answer;
}

void TRecordingMessageHandler::Beep(unsigned type) {
    Beeps.push_back(type);
}

TRecordingMessageScope::TRecordingMessageScope() : FPrevious(gHandler.load()) {
    SetMessageHandler(&FHandler);
}

TRecordingMessageScope::~TRecordingMessageScope() {
    SetMessageHandler(FPrevious);
}
