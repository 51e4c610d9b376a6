// ampfx-demo: renders a generated music clip through the effects engine and leaves the
// input and the result in an output folder for listening.
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine_session.h"
#include "music_clip.h"
#include "pcm_file.h"

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1 ? argv[1] : "demo-output";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "ampfx-demo: cannot create %s: %s\n", folder.c_str(),
                     ec.message().c_str());
        return 2;
    }

    StereoPcm music;
    music.sampleRate = 48000;
    music.bytes = GenerateMusicClip(12.0, music.sampleRate);

    // The settings a listener would pick: equalizer, level control and virtual 7.1 on.
    EngineSettings settings;
    settings.drc = true;
    EngineSession session(settings);
    StereoPcm played = music;
    session.ProcessInChunks(played.bytes, 1920);

    const std::string input = (folder / "music-input.wav").string();
    const std::string output = (folder / "music-played.wav").string();
    std::string error;
    if (!WriteStereoPcm(input, music, &error) || !WriteStereoPcm(output, played, &error)) {
        std::fprintf(stderr, "ampfx-demo: %s\n", error.c_str());
        return 2;
    }
    std::printf(
        "Rendered 12 s of generated music through the Ampfx effects engine\n"
        "(1920-byte transfers; equalizer, level control and virtual 7.1 on).\n\n"
        "  input:  %s\n  output: %s\n",
        std::filesystem::absolute(input).c_str(), std::filesystem::absolute(output).c_str());
    return 0;
}
