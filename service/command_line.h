// The service program's command line.
#pragma once

#include <string>

namespace dovrel {

enum class CommandLineAction { Run, UnregServer, RegServer, Service };

// The first recognised token (letter case ignored) among those introduced by '-' or '/' in
// the arguments after the program name; a token ends at white space. Run when none is
// recognised.
CommandLineAction ParseCommandLine(const std::string& arguments);

}  // namespace dovrel
