// The sound-field network written out plainly, frame by frame, left then right, with its own
// rings and states and no shortcut: every modulo taken as written, every state kept as the
// arithmetic leaves it (subnormal values included). The engine must give the same samples.
#pragma once

#include <stdint.h>

#include <vector>

class ReferenceSoundField {
  public:
    explicit ReferenceSoundField(uint32_t preset);

    void ProcessFrame(int16_t* left, int16_t* right);
    void Process(std::vector<uint8_t>& pcm);  // interleaved 16-bit stereo, whole frames

  private:
    struct Filter {
        float w1 = 0.0f;
        float w2 = 0.0f;
    };
    struct Ring {
        std::vector<float> data;
        uint32_t position = 0;
    };
    struct Channel {
        Ring cross;
        Ring early;
        Ring preDelay;
        std::vector<Ring> combs;
        std::vector<Filter> combFilters;
        std::vector<Ring> allPasses;
        Filter earlyFilter;
        float sPrev = 0.0f;
        float dPrev = 0.0f;
        float h = 0.0f;
        Filter finalFilter;
    };

    int16_t RunChannel(uint32_t ch, int16_t x, int16_t o);

    uint32_t preset_;
    Channel channels_[2];
};
