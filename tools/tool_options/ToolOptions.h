#pragma once
// The command line of the reliability, check and benchmark programs: each option names
// where its value goes and which values it takes. A wrong command line (an unknown option,
// a missing value, a malformed or out-of-range number, too many or too few arguments) is
// told on stderr with the usage, and the program ends with exit status 2.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TToolOptions {
public:
    // `usage` is what follows the program's name in the usage line.
    TToolOptions(std::string program, std::string usage);

    TToolOptions& Flag(const std::string& name, bool& target);
    TToolOptions& Text(const std::string& name, std::string& target);
    TToolOptions& Number(const std::string& name, int32_t& target, int32_t low, int32_t high);
    TToolOptions& Number(const std::string& name, uint32_t& target);
    TToolOptions& Number(const std::string& name, double& target, double low, double high);
    // Words that are not options, between `least` and `most` of them.
    TToolOptions& Arguments(std::vector<std::string>& target, size_t least, size_t most);

    // Reads argv[1..]; false once it has told stderr what is wrong.
    bool Parse(int argc, char** argv);
    // "program: text" and the usage on stderr; returns 2, the exit status of wrong use.
    int Fail(const std::string& text) const;

private:
    struct TOption {
        std::string Name;
        bool TakesValue = false;
        // Stores the value; empty text when taken, else what the option takes.
        std::function<std::string(const std::string&)> Store;
    };
    TToolOptions& Add(const std::string& name, bool takesValue,
                      std::function<std::string(const std::string&)> store);

    std::string FProgram, FUsage;
    std::vector<TOption> FOptions;
    std::vector<std::string>* FArguments = nullptr;
    size_t FLeast = 0, FMost = 0;
};
