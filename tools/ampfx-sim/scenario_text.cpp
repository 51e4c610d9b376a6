#include "scenario_text.h"

#include "tool_text.h"

bool SplitScenario(std::string_view text, std::vector<ScenarioCommand>* commands,
                   ScenarioTextError* error) {
    commands->clear();
    // Editors on Windows often begin a UTF-8 file with a byte-order mark.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
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
        if (!SplitQuotedWords(line, &command.words, &reason)) {
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
