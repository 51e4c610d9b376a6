#include "music_clip.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace {

constexpr double kTwoPi = 6.283185307179586;

double NoteHz(int midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// A plucked-string-like tone: a few harmonics under an exponential decay.
double Pluck(double t, double hz, double decay) {
    if (t < 0)
        return 0;
    const double envelope = std::exp(-t * decay) * std::min(1.0, t * 200.0);
    return envelope * (std::sin(kTwoPi * hz * t) + 0.5 * std::sin(kTwoPi * 2 * hz * t) +
                       0.25 * std::sin(kTwoPi * 3 * hz * t));
}

}  // namespace

std::vector<uint8_t> GenerateMusicClip(double seconds, int sampleRate) {
    const int frames = static_cast<int>(seconds * sampleRate);
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * 4);
    std::mt19937 rng(2024);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);

    // I - vi - IV - V in C major, one chord per bar of four beats at 120 bpm.
    const int chords[4][3] = {{60, 64, 67}, {57, 60, 64}, {53, 57, 60}, {55, 59, 62}};
    const int bass[4] = {36, 33, 29, 31};
    const int melody[16] = {72, 74, 76, 79, 76, 74, 72, 69, 69, 72, 74, 77, 79, 77, 74, 71};
    const double beat = 0.5;

    for (int frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / sampleRate;
        const int beatIndex = static_cast<int>(t / beat);
        const double inBeat = t - beatIndex * beat;
        const int bar = (beatIndex / 4) % 4;

        double left = 0, right = 0;
        for (int voice = 0; voice < 3; ++voice) {
            const double tone = Pluck(inBeat, NoteHz(chords[bar][voice]), 3.0);
            left += 0.12 * tone * (voice == 0 ? 1.2 : 0.8);
            right += 0.12 * tone * (voice == 2 ? 1.2 : 0.8);
        }
        const double bassTone = Pluck(inBeat, NoteHz(bass[bar]), 2.0);
        left += 0.3 * bassTone;
        right += 0.3 * bassTone;
        const double lead = Pluck(inBeat, NoteHz(melody[beatIndex % 16]), 4.0);
        left += 0.15 * lead;
        right += 0.2 * lead;
        // Hi-hat on the off-beats, kick on every beat.
        const double offBeat = inBeat - beat / 2;
        if (offBeat >= 0)
            left += 0.05 * noise(rng) * std::exp(-offBeat * 60);
        right += 0.05 * noise(rng) * std::exp(-std::fabs(offBeat) * 60) * (offBeat >= 0);
        const double kick =
            std::sin(kTwoPi * 55 * inBeat * std::exp(-inBeat * 8)) * std::exp(-inBeat * 12);
        left += 0.35 * kick;
        right += 0.35 * kick;

        // A fade in and out keeps the clip from clicking.
        const double fade = std::min({1.0, t * 4, (seconds - t) * 4});
        const int16_t l =
            static_cast<int16_t>(std::lround(std::clamp(left * fade, -1.0, 1.0) * 26000));
        const int16_t r =
            static_cast<int16_t>(std::lround(std::clamp(right * fade, -1.0, 1.0) * 26000));
        std::memcpy(&bytes[frame * 4], &l, 2);
        std::memcpy(&bytes[frame * 4 + 2], &r, 2);
    }
    return bytes;
}
