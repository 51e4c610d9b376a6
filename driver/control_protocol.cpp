// The nine control requests on the control device. Every request completes before the
// dispatch routine returns; malformed requests succeed with nothing returned.
#include <string.h>

#include "ampfx_driver.h"
#include "fold_down.h"
#include "settings_table.h"
#include "shared_access.h"
#include "sound_field.h"

namespace {

constexpr ULONG kBandCountRaw = 5;  // the raw band request reaches bands 0-4 only

struct ControlRequest {
    PIRP Irp;
    PVOID Buffer;  // METHOD_BUFFERED: the same system buffer carries request and answer
    ULONG InputLength;
    ULONG OutputLength;

    template <typename Block>
    bool Read(Block* block) const {
        if (InputLength < sizeof(Block) || Buffer == nullptr)
            return false;
        memcpy(block, Buffer, sizeof(Block));
        return true;
    }

    // A get answers only into an output buffer that can hold the whole block.
    template <typename Block>
    void Answer(const Block& block) {
        if (OutputLength < sizeof(Block))
            return;
        memcpy(Buffer, &block, sizeof(Block));
        Irp->IoStatus.Information = sizeof(Block);
    }
};

// Sends the mute request down the stack of the filter device the control device belongs
// to, while that device is guaranteed not to be removed. IRQL: PASSIVE_LEVEL.
void ControlSetDeviceMute(PDEVICE_EXTENSION control, UCHAR value) {
    PDEVICE_EXTENSION filter = control->FilterExtension;
    if (filter == nullptr || !FilterAcquire(filter))
        return;
    SetDeviceMute(control, value);
    FilterRelease(filter);
}

void HandleBand(ControlRequest& request, bool raw) {
    AmpfxBandRequest block;
    if (!request.Read(&block))
        return;
    const ULONG bands = raw ? kBandCountRaw : static_cast<ULONG>(kEqBandCount);
    if (block.Band >= bands)
        return;
    EffectState& state = g_EffectState;
    if (block.Selector == kAmpfxSelectorGet) {
        block.Gain = LoadShared(state.AmpfxEQGain[block.Band]);
        request.Answer(block);
        return;
    }
    // Stored as sent, but a NaN would spread through the curve into every sample.
    const float gain = ClampRequestedFloat(kSettings[kSettingAmpfxEQGain], block.Band, block.Gain);
    if (raw) {
        StoreShared(state.AmpfxEQGain[block.Band], gain);
    } else {
        UpdateEqCurveSegment(&state, block.Band, gain);
    }
}

// Get or set of one 32-bit field; `exactLength` requests ignore any other input length.
bool HandleValue(ControlRequest& request, uint32_t* field, bool exactLength,
                 AmpfxValueRequest* setBlock) {
    AmpfxValueRequest block;
    if (exactLength && request.InputLength != sizeof block)
        return false;
    if (!request.Read(&block))
        return false;
    if (block.Selector == kAmpfxSelectorGet) {
        block.Value = LoadShared(*field);
        request.Answer(block);
        return false;
    }
    *setBlock = block;
    return true;
}

void HandleNoiseClean(ControlRequest& request, PDEVICE_EXTENSION control) {
    EffectState& state = g_EffectState;
    AmpfxValueRequest block;
    if (!HandleValue(request, &state.EnableNoiseClean, true, &block))
        return;
    StoreShared(state.EnableNoiseClean, block.Value);
    // The host itself has muted the control the gate uses: leave the device alone.
    if (LoadShared(state.HostMuteState) != 0)
        return;
    StoreShared(state.NoiseGateCount, 0);
    if (block.Value != 0) {
        StoreShared(state.NoiseGateMuted, 1u);
        ControlSetDeviceMute(control, 1);
    } else if (LoadShared(state.NoiseGateMuted) == 1) {
        StoreShared(state.NoiseGateMuted, 0u);
        ControlSetDeviceMute(control, 0);
    }
}

void HandleSoundField(ControlRequest& request) {
    EffectState& state = g_EffectState;
    AmpfxValueRequest block;
    if (!HandleValue(request, &state.SoundFieldType, true, &block))
        return;
    StoreShared(state.SoundFieldType, block.Value);
    if (SetupSoundField(&state, &g_EffectServices))
        return;
    StoreShared(state.SoundFieldType, 0u);
    block.Value = 0;
    memcpy(request.Buffer, &block, sizeof block);
    request.Irp->IoStatus.Information = sizeof block;
    request.Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
}

void HandleSpeaker51(ControlRequest& request) {
    AmpfxSpeaker51Request block;
    if (!request.Read(&block))
        return;
    EffectState& state = g_EffectState;
    if (block.Selector == kAmpfxSelectorGet) {
        block.EnableHRTF = LoadShared(state.EnableHRTF);
        block.LeftChOffset = LoadShared(state.LeftChOffset);
        block.RightChOffset = LoadShared(state.RightChOffset);
        for (ULONG i = 0; i < kSpeaker51PowerCount; ++i)
            block.Ampfx5Ch1Power[i] = LoadShared(state.Ampfx5Ch1Power[i]);
        request.Answer(block);
        return;
    }
    StoreShared(state.EnableHRTF,
                ClampRequestedDword(kSettings[kSettingEnableHRTF], block.EnableHRTF));
    StoreShared(state.LeftChOffset,
                ClampRequestedDword(kSettings[kSettingLeftChOffset], block.LeftChOffset));
    StoreShared(state.RightChOffset,
                ClampRequestedDword(kSettings[kSettingRightChOffset], block.RightChOffset));
    const SettingDescriptor& powers = kSettings[kSettingAmpfx5Ch1Power];
    for (ULONG i = 0; i < kSpeaker51PowerCount; ++i)
        StoreShared(state.Ampfx5Ch1Power[i],
                    ClampRequestedFloat(powers, i, block.Ampfx5Ch1Power[i]));
}

void HandleVirtual71(ControlRequest& request) {
    AmpfxVirtual71Request block;
    if (!request.Read(&block))
        return;
    EffectState& state = g_EffectState;
    if (block.Selector == kAmpfxSelectorGet) {
        block.EnableVirtual7ch1 = LoadShared(state.EnableVirtual7ch1);
        for (ULONG i = 0; i < kSpeakerCount; ++i) {
            block.Virtual7ch1Distance[i] = LoadShared(state.Virtual7ch1Distance[i]);
            block.Virtual7ch1Radian[i] = LoadShared(state.Virtual7ch1Radian[i]);
        }
        request.Answer(block);
        return;
    }
    StoreShared(state.EnableVirtual7ch1,
                ClampRequestedDword(kSettings[kSettingEnableVirtual7ch1], block.EnableVirtual7ch1));
    const SettingDescriptor& distances = kSettings[kSettingVirtual7ch1Distance];
    const SettingDescriptor& angles = kSettings[kSettingVirtual7ch1Radian];
    for (ULONG i = 0; i < kSpeakerCount; ++i) {
        StoreShared(state.Virtual7ch1Distance[i],
                    ClampRequestedFloat(distances, i, block.Virtual7ch1Distance[i]));
        StoreShared(state.Virtual7ch1Radian[i],
                    ClampRequestedFloat(angles, i, block.Virtual7ch1Radian[i]));
    }
    RecomputeSpeakerMix(&state);
}

void HandleRequest(ControlRequest& request, PDEVICE_EXTENSION control, ULONG code) {
    EffectState& state = g_EffectState;
    AmpfxValueRequest block;
    switch (code) {
        case IOCTL_AMPFX_EQ_BAND:
            HandleBand(request, false);
            break;
        case IOCTL_AMPFX_EQ_BAND_RAW:
            HandleBand(request, true);
            break;
        case IOCTL_AMPFX_EQ_ENABLE:
            if (HandleValue(request, &state.EnableAmpfxEQ, false, &block))
                StoreShared(state.EnableAmpfxEQ, block.Value);
            break;
        case IOCTL_AMPFX_DRC_ENABLE:
            if (HandleValue(request, &state.EnableSoundDRC, true, &block))
                StoreShared(state.EnableSoundDRC, block.Value);
            break;
        case IOCTL_AMPFX_NOISE_CLEAN:
            HandleNoiseClean(request, control);
            break;
        case IOCTL_AMPFX_SOUND_FIELD:
            HandleSoundField(request);
            break;
        case IOCTL_AMPFX_SPEAKER_51:
            HandleSpeaker51(request);
            break;
        case IOCTL_AMPFX_VIRTUAL_71:
            HandleVirtual71(request);
            break;
        case IOCTL_AMPFX_CONVERT:
            if (HandleValue(request, &state.EnableConvert, true, &block))
                StoreShared(state.EnableConvert, block.Value);
            break;
        default:
            break;
    }
}

}  // namespace

// IRQL: PASSIVE_LEVEL, in the caller's thread. Never forwards, never pends.
NTSTATUS FilterDispatchControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION control = FilterExtensionOf(DeviceObject);
    if (!FilterAcquire(control)) {
        return FilterCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    if (LoadShared(DeviceSupported) != 0) {
        // Curve interpolation, clamps, the speaker mix's sine and cosine and the sound-field
        // set-up all compute in floating point. Without a saved state the request changes
        // nothing and fails with the save's status, so the caller knows and may retry.
        FILTER_FP_STATE fpState;
        const NTSTATUS saved = FilterSaveFloatingPoint(&fpState);
        if (NT_SUCCESS(saved)) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
            ControlRequest request;
            request.Irp = Irp;
            request.Buffer = Irp->AssociatedIrp.SystemBuffer;
            request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
            request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
            HandleRequest(request, control, stack->Parameters.DeviceIoControl.IoControlCode);
            FilterRestoreFloatingPoint(&fpState);
        } else {
            Irp->IoStatus.Status = saved;
        }
    }

    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    FilterRelease(control);
    return status;
}
