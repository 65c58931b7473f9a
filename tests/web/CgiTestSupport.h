#pragma once
// Environment and argument scopes for the CGI engine tests.
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/EnvScope.h"
#include "web/HCgiDbg.h"

// Command-line arguments for the scope of a test.
class TArgsScope {
public:
    explicit TArgsScope(std::vector<std::string> args) { SetCommandLineArguments(std::move(args)); }
    ~TArgsScope() { ResetCommandLineArguments(); }
};
