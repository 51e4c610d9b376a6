// The scenario runner of ampfx-sim: a simulated Windows machine with the Ampfx driver
// installed, driven command by command (plug headsets, edit the registry, run the attachment
// service, send control requests, stream audio through the whole driver stack) with every
// result printed as stable, line-oriented text. The commands and their output are described
// in docs/ampfx-sim.md.
#pragma once

#include <stddef.h>

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

struct ScenarioPaths {
    // Relative names of files the scenario reads resolve against this folder (the
    // scenario's own); a name starting with "$OUT/" against the output folder.
    std::string inputFolder = ".";
    // Relative names of files the scenario writes resolve against this folder, and no
    // written file may lie outside it.
    std::string outputFolder = ".";
    // The scenario's own file, if it has one: never written over.
    std::string scenarioFile;
};

class ScenarioRunner {
  public:
    // The machine is brought up by the first command that needs it, so that a
    // `windows-version` before it can still choose what it reports.
    ScenarioRunner(const ScenarioPaths& paths, std::ostream& out);
    // Stops the service, unplugs every headset and tears the machine down.
    ~ScenarioRunner();
    ScenarioRunner(const ScenarioRunner&) = delete;
    ScenarioRunner& operator=(const ScenarioRunner&) = delete;

    // Echoes the command as "> words..." and runs it. False with a reason when the command
    // is not understood or cannot be carried out (a scenario error); what the simulated
    // system answers, failures included, is output, not an error.
    bool Execute(const std::vector<std::string>& words, std::string* error);

    // Files that exist now and that `commands` read (`play`, `compare-played`) are refused as
    // the target of a write for the rest of the run, as is the scenario file itself.
    void ProtectInputs(const std::vector<std::vector<std::string>>& commands);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// Runs a whole scenario on a fresh machine. Returns the exit status: 0 when every command
// ran, 2 on a scenario error, which is reported on `err` as "NAME:LINE: reason" and ends
// the run.
int RunScenario(std::string_view text, const std::string& name, const ScenarioPaths& paths,
                std::ostream& out, std::ostream& err);

// The text of a scenario file. False with the reason for a folder, a file that cannot be read
// or one larger than a scenario may be (16 MiB, so that a device that never ends is refused).
bool ReadScenarioFile(const std::string& path, std::string* text, std::string* error);
