#include "scenario_runner.h"

#include "scenario_context.h"
#include "scenario_text.h"
#include "tool_text.h"

// The commands live in their areas' files (`*_commands.cpp`), which register them.
struct ScenarioRunner::Impl {
    Impl(const ScenarioPaths& paths, std::ostream& out) : context(paths, out) {}
    ScenarioContext context;
};

ScenarioRunner::ScenarioRunner(const ScenarioPaths& paths, std::ostream& out)
    : impl_(std::make_unique<Impl>(paths, out)) {}

ScenarioRunner::~ScenarioRunner() = default;

bool ScenarioRunner::Execute(const std::vector<std::string>& words, std::string* error) {
    if (words.empty())
        return true;
    std::ostream& out = impl_->context.out;
    std::string echo = ">";
    for (const std::string& word : words)
        echo += " " + QuoteWord(word);
    out << echo << "\n";
    try {
        const ScenarioCommandHandler command = FindScenarioCommand(words[0]);
        if (command == nullptr)
            Fail("unknown command '" + words[0] + "'");
        command(impl_->context, words);
    } catch (const ScenarioFailure& failure) {
        *error = failure.reason;
        out.flush();
        return false;
    }
    out.flush();
    return true;
}

int RunScenario(std::string_view text, const std::string& name, const ScenarioPaths& paths,
                std::ostream& out, std::ostream& err) {
    std::vector<ScenarioCommand> commands;
    ScenarioTextError textError;
    if (!SplitScenario(text, &commands, &textError)) {
        err << name << ":" << textError.line << ": " << textError.reason << "\n";
        return 2;
    }
    ScenarioRunner runner(paths, out);
    for (const ScenarioCommand& command : commands) {
        std::string error;
        if (!runner.Execute(command.words, &error)) {
            err << name << ":" << command.line << ": " << error << "\n";
            return 2;
        }
    }
    return 0;
}
