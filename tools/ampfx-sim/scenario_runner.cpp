#include "scenario_runner.h"

#include <filesystem>
#include <fstream>

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
        const ScenarioCommandEntry* command = FindScenarioCommand(words[0]);
        if (command == nullptr)
            Fail("unknown command '" + words[0] + "'");
        command->run(impl_->context, words);
    } catch (const ScenarioFailure& failure) {
        *error = failure.reason;
        out.flush();
        return false;
    }
    out.flush();
    return true;
}

void ScenarioRunner::ProtectInputs(const std::vector<std::vector<std::string>>& commands) {
    ScenarioContext& context = impl_->context;
    if (!context.paths.scenarioFile.empty())
        context.ProtectFile(context.paths.scenarioFile);
    for (const std::vector<std::string>& words : commands) {
        if (words.empty())
            continue;
        const ScenarioCommandEntry* command = FindScenarioCommand(words[0]);
        if (command != nullptr && command->readsWord > 0 && command->readsWord < words.size())
            context.ProtectFile(context.InputPath(words[command->readsWord]));
    }
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
    std::vector<std::vector<std::string>> words;
    for (const ScenarioCommand& command : commands)
        words.push_back(command.words);
    runner.ProtectInputs(words);
    for (const ScenarioCommand& command : commands) {
        std::string error;
        if (!runner.Execute(command.words, &error)) {
            err << name << ":" << command.line << ": " << error << "\n";
            return 2;
        }
    }
    return 0;
}

bool ReadScenarioFile(const std::string& path, std::string* text, std::string* error) {
    constexpr size_t kMaxScenarioBytes = 16u << 20;
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        *error = path + " is a folder, not a scenario";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read " + path;
        return false;
    }
    text->clear();
    char buffer[1 << 16];
    while (file) {
        file.read(buffer, sizeof buffer);
        text->append(buffer, static_cast<size_t>(file.gcount()));
        if (text->size() > kMaxScenarioBytes) {
            *error = path + " is larger than a scenario may be (16 MiB)";
            return false;
        }
    }
    if (file.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    return true;
}
