// Command line of ampfx-render.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "engine_session.h"

struct RenderOptions {
    std::string input;
    std::string output;
    uint32_t chunkBytes = 1920;
    EngineSettings engine;
    bool help = false;
};

// Parses argv[1..]; returns false with a one-line reason in `error` for anything it does not
// understand. --help sets `help` and needs no files.
bool ParseRenderOptions(const std::vector<std::string>& args, RenderOptions* options,
                        std::string* error);

const char* RenderUsage();
