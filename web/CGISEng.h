#pragma once
// Standard CGI: the request comes from the environment and standard input, the answer
// goes to standard output.
//
// A console program answers from its main block:
//     int main(int argc, char** argv) {
//         SetCommandLineArguments(argc, argv);
//         TCGIStdUnit unit;                        // prepares the request
//         if (auto* e = CGIStdEngine()) { e->OnExecRequest = ...; e->Run(); }
//     }                                            // unit end: flush and end the request
// A GUI program prepares the request the same way before its forms exist and places a
// TCGIStdEngine on a form or data module; the request runs when that owner is created.
#include <memory>

#include "web/HttpCGIEngine.h"

class TCGIStdEngine : public THttpCGIEngine {
public:
    explicit TCGIStdEngine(TComponent* AOwner);
    void Loaded() override;
    void Run() override;
    void RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) override;
};

// A standard CGI call: not a library, under a web server (or the resident server), and not
// Windows CGI.
bool IsStdCGICall();
// Every name=value string of the process environment, sorted.
TStringList* ReadEnvironmentVariables();

// Unit start: sets up the streams (and, in a console program, the engine and the
// variables) of this process's request.
void PrepareStdCGIRequest();
// Unit end: a console program's request is flushed and ended; the unit's engine goes.
void FinishStdCGIRequest();
// The engine that unit start created for a console program (nullptr when none).
TCGIStdEngine* CGIStdEngine();

// Unit start in the constructor, unit end in the destructor.
class TCGIStdUnit {
public:
    TCGIStdUnit() { PrepareStdCGIRequest(); }
    ~TCGIStdUnit() { FinishStdCGIRequest(); }
    TCGIStdUnit(const TCGIStdUnit&) = delete;
    TCGIStdUnit& operator=(const TCGIStdUnit&) = delete;
};
