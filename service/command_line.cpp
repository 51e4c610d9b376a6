#include "command_line.h"

#include "text.h"

namespace dovrel {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

CommandLineAction ParseCommandLine(const std::string& arguments) {
    struct Token {
        const char* text;
        CommandLineAction action;
    };
    static const Token kTokens[] = {
        {"UnregServer", CommandLineAction::UnregServer},
        {"RegServer", CommandLineAction::RegServer},
        {"Service", CommandLineAction::Service},
    };
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] != '-' && arguments[i] != '/')
            continue;
        size_t end = i + 1;
        while (end < arguments.size() && !IsSpace(arguments[end]))
            ++end;
        const std::string token = arguments.substr(i + 1, end - i - 1);
        for (const Token& known : kTokens) {
            if (EqualsIgnoreCase(token, known.text))
                return known.action;
        }
    }
    return CommandLineAction::Run;
}

}  // namespace dovrel
