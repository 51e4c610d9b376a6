#include "engine_session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "fold_down.h"
#include "settings_defaults.h"
#include "sound_field.h"

namespace {

void* HeapAllocate(void*, size_t bytes) {
    return std::malloc(bytes);
}
void HeapFree(void*, void* block) {
    std::free(block);
}
void ThreadSleep(void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

const EffectServices kHeapServices = {HeapAllocate, HeapFree, ThreadSleep, nullptr};

float* AllocateFloats() {
    return static_cast<float*>(std::calloc(kEqBlockFrames, sizeof(float)));
}

}  // namespace

EngineSettings::EngineSettings() {
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        distances[i] = kLoadDefaultDistance;
        angles[i] = kLoadDefaultRadian[i];
    }
}

const EffectServices& EngineSession::HeapServices() {
    return kHeapServices;
}

EngineSession::EngineSession(const EngineSettings& settings) {
    InitEffectState(&state_);

    eq_.Ring = static_cast<uint8_t*>(std::calloc(kEqRingAllocBytes, 1));
    eq_.Block = AllocateFloats();
    eq_.ImaginaryInput = AllocateFloats();
    eq_.SpectrumReal = AllocateFloats();
    eq_.SpectrumImaginary = AllocateFloats();
    eq_.OverlapLeft = AllocateFloats();
    eq_.OverlapRight = AllocateFloats();
    if (!eq_.Ring || !eq_.Block || !eq_.ImaginaryInput || !eq_.SpectrumReal ||
        !eq_.SpectrumImaginary || !eq_.OverlapLeft || !eq_.OverlapRight) {
        std::abort();  // a host tool out of memory for 80 KB has nothing sensible to do
    }
    InitEqStream(&eq_);
    BuildBitReverseTables();

    // As the settings load leaves the record: gains clamped and the curve rebuilt, the
    // speaker tables taken and the mix recomputed.
    state_.EnableAmpfxEQ = settings.equalizer ? 1 : 0;
    for (uint32_t band = 0; band < kEqBandCount; ++band)
        state_.AmpfxEQGain[band] = ClampLoadedEqGain(settings.eqGains[band]);
    RebuildEqCurve(&state_);
    state_.EnableVirtual7ch1 = settings.virtual71 ? 1 : 0;
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        state_.Virtual7ch1Distance[i] = settings.distances[i];
        state_.Virtual7ch1Radian[i] = settings.angles[i];
    }
    RecomputeSpeakerMix(&state_);
    state_.EnableSoundDRC = settings.drc ? 1 : 0;
    state_.EnableNoiseClean = settings.noiseClean ? 1 : 0;
    state_.HostMuteState = settings.hostMute;
    restartCountdown_ = settings.restartCountdown;

    state_.SoundFieldType = settings.soundField;
    soundFieldReady_ = SetupSoundField(&state_, &kHeapServices);
    if (!soundFieldReady_)
        state_.SoundFieldType = 0;

    context_.State = &state_;
    context_.Eq = &eq_;
    context_.RestartCountdown = &restartCountdown_;
    context_.SetDeviceMute = &EngineSession::OnSetDeviceMute;
    context_.MuteContext = this;
}

EngineSession::~EngineSession() {
    ReleaseSoundField(&state_, &kHeapServices);
    std::free(eq_.Ring);
    std::free(eq_.Block);
    std::free(eq_.ImaginaryInput);
    std::free(eq_.SpectrumReal);
    std::free(eq_.SpectrumImaginary);
    std::free(eq_.OverlapLeft);
    std::free(eq_.OverlapRight);
}

void EngineSession::OnSetDeviceMute(void* context, uint32_t on) {
    auto* self = static_cast<EngineSession*>(context);
    if (on)
        ++self->muteRequests_;
    else
        ++self->unmuteRequests_;
}

void EngineSession::Process(uint8_t* buffer, uint32_t byteLength) {
    ProcessPlaybackBuffer(&context_, buffer, byteLength);
}

void EngineSession::ProcessInChunks(std::vector<uint8_t>& pcm, uint32_t chunkBytes) {
    size_t offset = 0;
    while (offset < pcm.size()) {
        const size_t length = std::min<size_t>(chunkBytes, pcm.size() - offset);
        Process(pcm.data() + offset, static_cast<uint32_t>(length));
        offset += length;
    }
}
