#include "sound_field_reference.h"

#include <cstring>

#include "sound_field_presets.h"

namespace {

float LowPass(const SoundFieldFilter& f, float in, float* w1, float* w2) {
    const float w = static_cast<float>(f.b0 * in - f.a1 * *w1 - f.a2 * *w2);
    const float out = w + 2 * *w1 + *w2;
    *w2 = *w1;
    *w1 = w;
    return out;
}

int16_t Saturate(float value) {
    if (value > 32767.0f)
        return 32767;
    if (value < -32768.0f)
        return -32768;
    return static_cast<int16_t>(value);
}

}  // namespace

ReferenceSoundField::ReferenceSoundField(uint32_t preset) : preset_(preset) {
    const SoundFieldRecordRow& record = kSoundFieldRecords[preset - 1];
    const SoundFieldStructureRow& shape = kSoundFieldStructures[preset - 1];
    for (uint32_t ch = 0; ch < 2; ++ch) {
        Channel& c = channels_[ch];
        c.cross.data.assign(record.crossFeedLength[ch], 0.0f);
        c.early.data.assign(record.tapDelay[kSoundFieldTapCount - 1], 0.0f);
        c.preDelay.data.assign(record.preDelayLength, 0.0f);
        for (uint32_t i = 0; i < shape.combCount; ++i)
            c.combs.push_back(Ring{std::vector<float>(shape.combLength[i], 0.0f), 0});
        c.combFilters.resize(shape.combCount);
        for (uint32_t i = 0; i < shape.allPassCount; ++i)
            c.allPasses.push_back(Ring{std::vector<float>(shape.allPassLength[i], 0.0f), 0});
    }
}

int16_t ReferenceSoundField::RunChannel(uint32_t ch, int16_t x, int16_t o) {
    const SoundFieldRecordRow& record = kSoundFieldRecords[preset_ - 1];
    const SoundFieldStructureRow& shape = kSoundFieldStructures[preset_ - 1];
    Channel& c = channels_[ch];

    // 1. Cross-feed.
    const uint32_t nx = static_cast<uint32_t>(c.cross.data.size());
    c.cross.position = (c.cross.position + nx - 1) % nx;
    const float cread = c.cross.data[c.cross.position];
    c.cross.data[c.cross.position] = o;
    const float cross = record.crossFeedGain * cread;
    float m;
    if (shape.inputScaled)
        m = static_cast<float>(shape.inputGain * x + cross);
    else
        m = x + cross;

    // 2. Early reflections through the tap line, then the low-pass.
    float earlyIn = static_cast<float>(shape.earlyGain * m);
    if (ch == 1 && shape.rightEarlyScaled)
        earlyIn = static_cast<float>(earlyIn * shape.rightEarlyGain);
    const uint32_t ne = static_cast<uint32_t>(c.early.data.size());
    float sum = 0.0f;
    for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
        const uint32_t index = (c.early.position + record.tapDelay[tap] - 1) % ne;
        sum += c.early.data[index] * record.tapGain[tap];
    }
    c.early.position = (ne + c.early.position - 1) % ne;
    c.early.data[c.early.position] = earlyIn;
    const float e = LowPass(shape.earlyLowPass, sum, &c.earlyFilter.w1, &c.earlyFilter.w2);

    // 3. Pre-delay.
    const uint32_t np = static_cast<uint32_t>(c.preDelay.data.size());
    c.preDelay.position = (c.preDelay.position + np - 1) % np;
    const float d = c.preDelay.data[c.preDelay.position];
    c.preDelay.data[c.preDelay.position] = e;
    const float u = record.lateGain * d;

    // 4. Combs.
    float s = 0.0f;
    for (uint32_t i = 0; i < shape.combCount; ++i) {
        Ring& ring = c.combs[i];
        const float v = ring.data[ring.position];
        if (shape.combLowPassed) {
            ring.data[ring.position] =
                LowPass(shape.combLowPass, v, &c.combFilters[i].w1, &c.combFilters[i].w2) *
                    shape.combFeedback[i] +
                u;
        } else {
            ring.data[ring.position] = v * shape.combFeedback[i] + u;
        }
        ring.position = (ring.position + 1) % ring.data.size();
        s += v;
    }

    // 5. DC blocker.
    c.h = static_cast<float>(c.h * 0.9921875 + c.dPrev);
    c.dPrev = static_cast<float>((s - c.sPrev) * 0.0078125);
    c.sPrev = s;
    float a = c.h * 128;

    // 6. All-passes.
    for (Ring& ring : c.allPasses) {
        const float v = ring.data[ring.position];
        const float y = static_cast<float>(v - 0.6 * a);
        ring.data[ring.position] = static_cast<float>(y * 0.6 + a);
        ring.position = (ring.position + 1) % ring.data.size();
        a = y;
    }

    // 7. Final filter.
    float late = a;
    if (shape.finalKind == SoundFieldFinal::kLowPass) {
        late = LowPass(shape.finalFilter, a, &c.finalFilter.w1, &c.finalFilter.w2);
    } else if (shape.finalKind == SoundFieldFinal::kFirstOrder) {
        const float w =
            static_cast<float>(shape.finalFilter.b0 * a + shape.finalFilter.a1 * c.finalFilter.w1);
        late = w + c.finalFilter.w1;
        c.finalFilter.w1 = w;
    }

    // 8. Mix.
    const float dry = shape.dryFromMixed ? static_cast<float>(shape.dryGain * m)
                                         : static_cast<float>(shape.dryGain * x);
    return Saturate(e + dry + late);
}

void ReferenceSoundField::ProcessFrame(int16_t* left, int16_t* right) {
    *left = RunChannel(0, *left, *right);
    *right = RunChannel(1, *right, *left);
}

void ReferenceSoundField::Process(std::vector<uint8_t>& pcm) {
    for (size_t offset = 0; offset + 4 <= pcm.size(); offset += 4) {
        int16_t samples[2];
        std::memcpy(samples, &pcm[offset], 4);
        ProcessFrame(&samples[0], &samples[1]);
        std::memcpy(&pcm[offset], samples, 4);
    }
}
