#pragma once
// The base of the engines that serve requests inside a web server's process (ISAPI,
// WSAPI): the response's header lines go to the request's stream ahead of the body.
#include <string>

#include "web/HttpEng.h"

class TModuleEngine : public THttpEngine {
public:
    using THttpEngine::THttpEngine;

    // One line "Name: Value" (the bare name when the value is empty).
    void SendHeaderLine(const std::string& Name, const std::string& Value) override;
    void EndHeaders() override;
    void RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) override;
};
