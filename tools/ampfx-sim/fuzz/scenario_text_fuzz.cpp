// Any bytes as a scenario: the splitter never crashes, every command it gives has words, the
// echo of each command reads back as the same words, and the control-request words of each
// line parse or are refused without harm.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string_view>

#include "control_request_text.h"
#include "scenario_text.h"
#include "tool_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ScenarioCommand> commands;
    ScenarioTextError error;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!SplitScenario(text, &commands, &error)) {
        if (error.line == 0 || error.reason.empty())
            std::abort();
        return 0;
    }
    size_t lastLine = 0;
    for (const ScenarioCommand& command : commands) {
        if (command.words.empty() || command.line <= lastLine)
            std::abort();
        lastLine = command.line;
        std::string echo;
        for (const std::string& word : command.words)
            echo += QuoteWord(word) + " ";
        std::vector<std::string> back;
        std::string why;
        if (!SplitQuotedWords(echo, &back, &why) || back != command.words)
            std::abort();
        if (command.words[0] == "ioctl") {
            ControlRequestText request;
            std::string reason;
            std::vector<std::string> words(command.words.begin() + 1, command.words.end());
            if (ParseControlRequest(words, &request, &reason) && request.outputLength > 65536)
                std::abort();
        }
    }
    return 0;
}
