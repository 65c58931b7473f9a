// Header lines of the engines that run inside a web server's process.
#include "web/ModuleEng.h"

void TModuleEngine::SendHeaderLine(const std::string& Name, const std::string& Value) {
    TStream* out = RequestContext().OutStream;
    if (!out) return;
    const std::string line = Value.empty() ? Name + "\r\n" : Name + ": " + Value + "\r\n";
    out->WriteBuffer(line.data(), static_cast<int64_t>(line.size()));
}

void TModuleEngine::EndHeaders() {
    if (TStream* out = RequestContext().OutStream) out->WriteBuffer("\r\n", 2);
}

void TModuleEngine::RunCGI(TStream* InStream, TStream* OutStream, TStrings* Variables) {
    ProcessRequest(InStream, OutStream, Variables);
}
