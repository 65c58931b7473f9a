#pragma once
// Message boxes and beeps through a replaceable hook: stderr by default, a recording
// fake in tests, Qt dialogs in the console.
#include <functional>
#include <string>
#include <vector>

// Flags and results with the values of the original API.
constexpr unsigned MB_OK = 0x0000;
constexpr unsigned MB_OKCANCEL = 0x0001;
constexpr unsigned MB_YESNO = 0x0004;
constexpr unsigned MB_ICONHAND = 0x0010;
constexpr unsigned MB_ICONERROR = 0x0010;
constexpr unsigned MB_ICONQUESTION = 0x0020;
constexpr unsigned MB_ICONWARNING = 0x0030;
constexpr unsigned MB_ICONINFORMATION = 0x0040;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr unsigned MB_SETFOREGROUND = 0x10000;
constexpr unsigned MB_TOPMOST = 0x40000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

class IMessageHandler {
public:
    virtual ~IMessageHandler() = default;
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
    virtual void Beep(unsigned type) = 0;
};

// Installs a handler (not owned); nullptr restores the stderr one.
void SetMessageHandler(IMessageHandler* h);
IMessageHandler& MessageHandler();

int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
void MessageBeep(unsigned type);
// The application's title as caption.
void ShowMessage(const std::string& text);

// Records every box and beep; answers with `Answer`.
class TRecordingMessageHandler : public IMessageHandler {
public:
    struct Box {
        std::string text, caption;
        unsigned flags;
    };
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    void Beep(unsigned type) override;
    std::vector<Box> Boxes;
    std::vector<unsigned> Beeps;
    int Answer = IDOK;
};

// Installs a recording handler for the scope of a test.
class TRecordingMessageScope {
public:
    TRecordingMessageScope();
    ~TRecordingMessageScope();
    TRecordingMessageHandler& Handler() { return FHandler; }

private:
    TRecordingMessageHandler FHandler;
    IMessageHandler* FPrevious;
};
