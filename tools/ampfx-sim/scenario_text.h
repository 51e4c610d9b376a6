// The text of a scenario: one command per line, words separated by blanks, `#` to the end of
// the line a comment. A word may be written in double quotes to hold blanks or a `#`; there
// are no escapes, so registry paths keep their backslashes as written.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

struct ScenarioCommand {
    size_t line = 0;  // 1-based line number in the scenario
    std::vector<std::string> words;
};

struct ScenarioTextError {
    size_t line = 0;
    std::string reason;
};

// Splits a scenario into its commands; blank and comment-only lines give none. Fails on the
// first line with an unterminated quote or a control character other than a tab.
bool SplitScenario(std::string_view text, std::vector<ScenarioCommand>* commands,
                   ScenarioTextError* error);
