// ampfx-render: an audio file through the effects engine, offline.
#include <algorithm>
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

    // The file streams through in pieces of whole transfers, so the engine sees exactly the
    // transfers that cutting the whole file would give, the last one shorter.
    StereoPcmReader reader;
    StereoPcmWriter writer;
    if (!reader.Open(options.input, &error) ||
        !writer.Open(options.output, reader.sampleRate(), &error)) {
        std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
        return 2;
    }

    EngineSession session(options.engine);
    if (options.engine.soundField != 0 && !session.soundFieldReady()) {
        std::fprintf(stderr, "ampfx-render: sound field %u could not be set up; playing without\n",
                     options.engine.soundField);
    }
    const size_t chunk = options.chunkBytes;
    const size_t transfersPerPiece = std::max<size_t>(1, (256 * 1024) / chunk);
    const size_t pieceFrames = chunk * transfersPerPiece;  // 4 * that many bytes: whole transfers
    std::vector<uint8_t> piece(pieceFrames * 4);
    for (;;) {
        size_t frames = 0;
        if (!reader.Read(piece.data(), pieceFrames, &frames, &error)) {
            std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
            return 2;
        }
        if (frames == 0)
            break;
        const size_t bytes = frames * 4;
        for (size_t offset = 0; offset < bytes; offset += chunk)
            session.Process(piece.data() + offset,
                            static_cast<uint32_t>(std::min(chunk, bytes - offset)));
        if (!writer.Write(piece.data(), frames, &error)) {
            std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
            return 2;
        }
    }
    if (!writer.Commit(&error)) {
        std::fprintf(stderr, "ampfx-render: %s\n", error.c_str());
        return 2;
    }
    std::fprintf(stderr, "mute-requests: %u unmute-requests: %u\n", session.muteRequests(),
                 session.unmuteRequests());
    return 0;
}
