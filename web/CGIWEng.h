#pragma once
// Windows CGI: the web server writes the request into a profile file (sections of
// key=value lines) named by the first argument, the body into a content file, and reads
// the answer from an output file named in the profile.
//
// A console program answers from its main block as with standard CGI (CGISEng.h), with
// TCGIWinUnit and CGIWinEngine().
#include <string>

#include "web/HttpCGIEngine.h"

class TCGIWinEngine : public THttpCGIEngine {
public:
    explicit TCGIWinEngine(TComponent* AOwner);
    void Loaded() override;
    void Run() override;
    void RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) override;
};

// A Windows-CGI call: the first argument names an existing profile and CGI_VERSION is
// empty or names Windows CGI; otherwise whether this is the resident server.
bool IsWinCGICall();

// A profile path taken as it is when absolute, else from the current directory.
std::string ProfileAbsolutePath(const std::string& Path);

// Reads one line: bytes up to a CR (not kept) or 16383 characters; an LF right after a CR
// belongs to no line. False at the end of the data with nothing read. EndedByCR tells
// whether a CR ended the line.
bool ReadProfileLine(TStream& Profile, std::string& Line, bool& EndedByCR);

enum TProfileLineKind { plNone, plSection, plKeyValue };
// "[name]" gives the section (trimmed, upper case, blanks as '_'); "key=value" gives the
// trimmed key and value.
TProfileLineKind ParseProfileLine(const std::string& Line, std::string& Section, std::string& Key,
                                  std::string& Value);

// Reads the profile: the variables go into Variables, the form data (or the content
// file) becomes InStream, the output file (created when missing) OutStream. A profile
// that cannot be opened raises the file error.
void ReadProfile(const std::string& FileName, std::string& OutputFileName, TStream*& InStream,
                 TStrings* Variables, TStream*& OutStream);

void PrepareWinCGIRequest();
void FinishWinCGIRequest();
TCGIWinEngine* CGIWinEngine();

class TCGIWinUnit {
public:
    TCGIWinUnit() { PrepareWinCGIRequest(); }
    ~TCGIWinUnit() { FinishWinCGIRequest(); }
    TCGIWinUnit(const TCGIWinUnit&) = delete;
    TCGIWinUnit& operator=(const TCGIWinUnit&) = delete;
};
