#include "reference_equalizer.h"

#include "effect_math.h"
#include "equalizer.h"
#include "pcm.h"

namespace {

uint32_t BitReverse(uint32_t j, uint32_t bits) {
    uint32_t r = 0;
    for (uint32_t b = 0; b < bits; ++b)
        r |= ((j >> b) & 1u) << (bits - 1 - b);
    return r;
}

void ReferenceBlock(EffectState* state, EqStream* eq, uint32_t channel, float* overlap) {
    const uint32_t R = kEqRingBytes;
    for (uint32_t f = 0; f < 2048; ++f) {
        const uint32_t at = (eq->ProcessPosition + 4 * f + channel) % R;
        eq->Block[f] = static_cast<float>(LoadSample(eq->Ring + at));
    }
    for (uint32_t f = 0; f < 2048; ++f)
        eq->ImaginaryInput[f] = 0.0f;
    ReferenceFftFloat(2048, false, eq->Block, eq->ImaginaryInput, eq->SpectrumReal,
                      eq->SpectrumImaginary);
    for (uint32_t k = 1; k <= 1023; ++k) {
        const float g = state->EqGainCurve[k];
        eq->SpectrumReal[k] *= g;
        eq->SpectrumImaginary[k] *= g;
        eq->SpectrumReal[2048 - k] *= g;
        eq->SpectrumImaginary[2048 - k] *= g;
    }
    eq->SpectrumReal[0] *= state->EqGainCurve[0];
    eq->SpectrumImaginary[0] *= state->EqGainCurve[0];
    eq->SpectrumReal[1024] *= state->EqGainCurve[0];
    eq->SpectrumImaginary[1024] *= state->EqGainCurve[0];
    ReferenceFftFloat(2048, true, eq->SpectrumReal, eq->SpectrumImaginary, eq->Block,
                      eq->ImaginaryInput);
    ReferenceApplyHannWindow(eq->Block);
    for (uint32_t i = 0; i < 1024; ++i) {
        const float y = (overlap[1024 + i] + eq->Block[i]) * 0.891251;
        eq->Block[i] = y;
        const uint32_t at = (eq->ProcessPosition + 4 * i + channel) % R;
        StoreSample(eq->Ring + at, SaturateRound(y));
    }
    for (uint32_t i = 0; i < 2048; ++i)
        overlap[i] = eq->Block[i];
}

}  // namespace

void ReferenceFftFloat(uint32_t n, bool inverse, const float* re_in, const float* im_in,
                       float* re_out, float* im_out) {
    double angle_numerator = 2.0 * kEffectPi;
    if (inverse)
        angle_numerator = -angle_numerator;
    uint32_t bits = 0;
    while ((1u << bits) < n)
        ++bits;
    for (uint32_t j = 0; j < n; ++j) {
        const uint32_t r = BitReverse(j, bits);
        re_out[r] = re_in[j];
        im_out[r] = im_in != nullptr ? im_in[j] : 0.0f;
    }
    for (uint32_t b = 2; b <= n; b <<= 1) {
        const uint32_t h = b / 2;
        const double delta = angle_numerator / b;
        const double sm2 = EffectSin(-2 * delta);
        const double sm1 = EffectSin(-delta);
        const double cm2 = EffectCos(-2 * delta);
        const double cm1 = EffectCos(-delta);
        const double w = 2 * cm1;
        for (uint32_t s = 0; s < n; s += b) {
            double ar2 = cm2, ar1 = cm1, ai2 = sm2, ai1 = sm1;
            for (uint32_t j = 0; j < h; ++j) {
                const double ar0 = w * ar1 - ar2;
                ar2 = ar1;
                ar1 = ar0;
                const double ai0 = w * ai1 - ai2;
                ai2 = ai1;
                ai1 = ai0;
                const uint32_t k = s + j;
                const uint32_t m = k + h;
                const double tr = ar0 * re_out[m] - ai0 * im_out[m];
                const double ti = ar0 * im_out[m] + ai0 * re_out[m];
                re_out[m] = re_out[k] - tr;
                im_out[m] = im_out[k] - ti;
                re_out[k] += tr;
                im_out[k] += ti;
            }
        }
    }
    if (inverse) {
        for (uint32_t i = 0; i < n; ++i) {
            re_out[i] *= 1.0 / n;
            im_out[i] *= 1.0 / n;
        }
    }
}

void ReferenceApplyHannWindow(float* x) {
    for (uint32_t i = 0; i < 2048; ++i)
        x[i] = x[i] * (0.5 - 0.5 * EffectCos(i * 2 * kEffectPi / 2047));
}

void ReferenceRunEqualizer(EffectDeviceContext* ctx, uint8_t* buf, uint32_t len) {
    EffectState* state = ctx->State;
    EqStream* eq = ctx->Eq;
    const uint32_t R = kEqRingBytes;
    if (eq == nullptr || state->EnableAmpfxEQ == 0)
        return;
    for (uint32_t i = 0; i < len; ++i)
        eq->Ring[(eq->WritePosition + i) % R] = buf[i];
    eq->WritePosition = (eq->WritePosition + (len & ~1u)) % R;
    const uint32_t available = (eq->WritePosition - eq->ProcessPosition + R) % R;
    if (available >= 8192) {
        ReferenceBlock(state, eq, 0, eq->OverlapLeft);
        ReferenceBlock(state, eq, 2, eq->OverlapRight);
        eq->ProcessPosition = (eq->ProcessPosition + 4096) % R;
    }
    for (uint32_t i = 0; i < len; ++i)
        buf[i] = eq->Ring[(eq->ReadPosition + i) % R];
    eq->ReadPosition = (eq->ReadPosition + (len & ~1u)) % R;
}
