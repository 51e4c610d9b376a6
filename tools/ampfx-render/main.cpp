// ampfx-render: an audio file through the effects engine, offline.
#include <cstdio>
#include <string>
#include <vector>

#include "engine_session.h"
#include "host/host_file.h"
#include "pcm_file.h"
#include "render_options.h"

int main(int argc, char** argv) {
    RenderOptions options;
    std::string error;
    if (!ParseRenderOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(RenderUsage(), stdout);
        return 0;
    }

    // The output replaces its file only once it is written whole, but writing over the input
    // would still leave the user without the original.
    if (host::SameHostFile(options.input, options.output)) {
        std::fprintf(stderr, "ampfx-render: '%s' is the input; write the output to another file\n",
                     options.output.c_str());
        return 2;
    }

    StereoPcm audio;
    if (!ReadStereoPcm(options.input, &audio, &error)) {
        std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
        return 2;
    }

    EngineSession session(options.engine);
    if (options.engine.soundField != 0 && !session.soundFieldReady()) {
        std::fprintf(stderr, "ampfx-render: sound field %u could not be set up; playing without\n",
                     options.engine.soundField);
    }
    session.ProcessInChunks(audio.bytes, options.chunkBytes);

    if (!WriteStereoPcm(options.output, audio, &error)) {
        std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
        return 2;
    }
    std::fprintf(stderr, "mute-requests: %u unmute-requests: %u\n", session.muteRequests(),
                 session.unmuteRequests());
    return 0;
}
