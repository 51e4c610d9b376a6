#include "scenario_text.h"

namespace {

bool SplitLine(std::string_view line, std::vector<std::string>* words, std::string* reason) {
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        std::string word;
        bool quoted = false;
        // A word runs to the next blank or comment outside quotes; quotes may open and close
        // inside it ("a b"c is the word `a bc`), as a shell reads it.
        while (i < line.size()) {
            const char d = line[i];
            if (static_cast<unsigned char>(d) < 0x20 && d != '\t') {
                *reason = "control character in the line";
                return false;
            }
            if (d == '"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && (d == ' ' || d == '\t' || d == '#'))
                break;
            word += d;
            ++i;
        }
        if (quoted) {
            *reason = "unterminated quote";
            return false;
        }
        words->push_back(std::move(word));
    }
    return true;
}

}  // namespace

bool SplitScenario(std::string_view text, std::vector<ScenarioCommand>* commands,
                   ScenarioTextError* error) {
    commands->clear();
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);  // scenarios written on Windows
        ++lineNumber;
        ScenarioCommand command;
        command.line = lineNumber;
        std::string reason;
        if (!SplitLine(line, &command.words, &reason)) {
            error->line = lineNumber;
            error->reason = reason;
            return false;
        }
        if (!command.words.empty())
            commands->push_back(std::move(command));
        start = end + 1;
    }
    return true;
}
