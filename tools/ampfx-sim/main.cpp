// ampfx-sim: runs a scenario on the simulated machine (docs/ampfx-sim.md).
#include <filesystem>
#include <iostream>
#include <string>

#include "scenario_runner.h"

namespace {

constexpr const char* kUsage =
    "Usage: ampfx-sim SCENARIO [--out DIR]\n"
    "Runs the scenario's commands on a simulated machine with the Ampfx driver installed.\n"
    "Files the scenario reads are found next to it, files it writes in DIR (default: the\n"
    "current folder). Exit status: 0 done, 2 scenario error or bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
    std::string scenario;
    ScenarioPaths paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--out" && i + 1 < argc) {
            paths.outputFolder = argv[++i];
        } else if (scenario.empty() && !arg.empty() && arg[0] != '-') {
            scenario = arg;
        } else {
            std::cerr << "ampfx-sim: unexpected argument '" << arg << "'\n" << kUsage;
            return 2;
        }
    }
    if (scenario.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    std::string text;
    std::string error;
    if (!ReadScenarioFile(scenario, &text, &error)) {
        std::cerr << "ampfx-sim: " << error << "\n";
        return 2;
    }
    std::error_code code;
    std::filesystem::create_directories(paths.outputFolder, code);
    if (code) {
        std::cerr << "ampfx-sim: cannot create " << paths.outputFolder << ": " << code.message()
                  << "\n";
        return 2;
    }
    const std::filesystem::path folder = std::filesystem::path(scenario).parent_path();
    paths.inputFolder = folder.empty() ? "." : folder.string();
    paths.scenarioFile = scenario;
    return RunScenario(text, scenario, paths, std::cout, std::cerr);
}
