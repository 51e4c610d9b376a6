// ampfx-render: an audio file through the effects engine, offline.
#include <cstdio>
#include <string>
#include <vector>

#include "engine_session.h"
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
