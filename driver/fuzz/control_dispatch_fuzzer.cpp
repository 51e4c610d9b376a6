// Control requests of every shape through the control device: the nine codes, their
// neighbours and random ones, with any lengths, selectors and block contents, while headsets
// come and go. One simulated machine serves the whole run, so the driver's state carries from
// input to input as it does on a long-running system. The kernel's verifier ends the process
// on any broken rule; the checks here add what every answer must look like.
#include <stdint.h>
#include <stdlib.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "ampfx_ioctl.h"
#include "filtered_machine.h"

namespace {

constexpr uint32_t kStatusSuccess = 0x00000000;
constexpr uint32_t kStatusInsufficientResources = 0xC000009A;
constexpr uint32_t kStatusDeletePending = 0xC0000056;

constexpr uint16_t kSupportedProduct = 0x1607;
constexpr uint16_t kUnlistedProduct = 0x1234;
constexpr uint16_t kStalledProduct = 0x160D;

const uint32_t kCodes[] = {
    IOCTL_AMPFX_EQ_BAND,    IOCTL_AMPFX_EQ_BAND_RAW, IOCTL_AMPFX_EQ_ENABLE,
    IOCTL_AMPFX_DRC_ENABLE, IOCTL_AMPFX_NOISE_CLEAN, IOCTL_AMPFX_SOUND_FIELD,
    IOCTL_AMPFX_SPEAKER_51, IOCTL_AMPFX_VIRTUAL_71,  IOCTL_AMPFX_CONVERT,
};

// Lengths around the block sizes, where the length rules draw their lines.
const uint32_t kLengths[] = {0, 1, 4, 7, 8, 9, 12, 16, 39, 40, 41, 71, 72, 73, 80, 128};

size_t BlockSize(uint32_t code) {
    switch (code) {
        case IOCTL_AMPFX_SPEAKER_51:
            return sizeof(AmpfxSpeaker51Request);
        case IOCTL_AMPFX_VIRTUAL_71:
            return sizeof(AmpfxVirtual71Request);
        default:
            return 8;
    }
}

bool IsKnown(uint32_t code) {
    for (uint32_t known : kCodes) {
        if (code == known)
            return true;
    }
    return false;
}

[[noreturn]] void Fail(const char* what, uint32_t code, uint32_t status, uint64_t information) {
    fprintf(stderr, "control dispatch fuzzer: %s (code 0x%08X, status 0x%08X, information %llu)\n",
            what, code, status, static_cast<unsigned long long>(information));
    abort();
}

// A supported headset that stalls every request but those the class driver configures it
// with, its device descriptor included: the filter cannot identify it, and its mute requests
// fail.
class StalledFunction : public host::BasicUsbFunction {
  public:
    StalledFunction() : BasicUsbFunction(0x0F1E, kStalledProduct) {}

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
            return BasicUsbFunction::InternalDeviceControl(pdo, irp);
        if (stack->Parameters.Others.Argument1 != nullptr) {
            PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            const bool configuring =
                urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION ||
                (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                 urb->UrbControlDescriptorRequest.DescriptorType ==
                     USB_CONFIGURATION_DESCRIPTOR_TYPE);
            if (configuring)
                return BasicUsbFunction::InternalDeviceControl(pdo, irp);
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
        }
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
};

class Rig {
  public:
    Rig() { Plug(kSupported); }

    enum Headset { kSupported, kUnlisted, kStalled, kHeadsets };

    void Plug(int which) {
        host::DevNode*& node = nodes_[which];
        if (node != nullptr)
            return;
        if (which == kStalled)
            node = machine_.Plug(kStalledProduct, true, std::make_shared<StalledFunction>());
        else
            node = machine_.Plug(which == kSupported ? kSupportedProduct : kUnlistedProduct);
    }

    void Unplug(int which) {
        host::DevNode*& node = nodes_[which];
        if (node != nullptr) {
            machine_.pnp().Unplug(node);
            node = nullptr;
        }
    }

    // A stopped headset is still on the bus, its filter gone until the start.
    void Stop(int which) {
        if (nodes_[which] != nullptr)
            machine_.pnp().Stop(nodes_[which]);
    }

    // A start identifies the device again, so it decides afresh whether the protocol answers.
    void Start(int which) {
        if (nodes_[which] != nullptr)
            machine_.pnp().Start(nodes_[which]);
    }

    void Reopen() {
        CloseHandle();
        host::UserCreateFile(AMPFX_CONTROL_DEVICE_PATH_A, &handle_);
    }

    void CloseHandle() {
        if (handle_ != host::kInvalidUserHandle)
            host::UserCloseHandle(handle_);
        handle_ = host::kInvalidUserHandle;
    }

    host::UserHandle handle() {
        if (handle_ == host::kInvalidUserHandle)
            host::UserCreateFile(AMPFX_CONTROL_DEVICE_PATH_A, &handle_);
        return handle_;
    }

  private:
    ampfx_test::FilteredMachine machine_;
    host::DevNode* nodes_[kHeadsets] = {};
    host::UserHandle handle_ = host::kInvalidUserHandle;
};

uint32_t PickCode(FuzzedDataProvider& data) {
    const uint8_t kind = data.ConsumeIntegral<uint8_t>();
    if (kind < 16)
        return data.ConsumeIntegral<uint32_t>();
    uint32_t code = kCodes[kind % 9];
    switch ((kind / 9) % 8) {
        case 0:  // the neighbouring function numbers
            code += 4;
            break;
        case 1:
            code -= 4;
            break;
        case 2:  // another transfer method
            code ^= data.ConsumeIntegralInRange<uint32_t>(1, 3);
            break;
        case 3:  // another access or device type
            code ^= data.ConsumeBool() ? 0x0000C000u : 0x00010000u;
            break;
        default:
            break;
    }
    return code;
}

uint32_t PickLength(FuzzedDataProvider& data) {
    const uint8_t choice = data.ConsumeIntegral<uint8_t>();
    if (choice < 224)
        return kLengths[choice % (sizeof kLengths / sizeof kLengths[0])];
    return data.ConsumeIntegralInRange<uint32_t>(0, 300);
}

void SendOne(Rig& rig, FuzzedDataProvider& data) {
    const uint32_t code = PickCode(data);
    const uint32_t inputLength = PickLength(data);
    const uint32_t outputLength = PickLength(data);

    std::vector<uint8_t> input(inputLength);
    const std::vector<uint8_t> bytes = data.ConsumeBytes<uint8_t>(inputLength);
    std::copy(bytes.begin(), bytes.end(), input.begin());
    // Mostly the selectors the protocol knows, so that gets and sets both happen.
    const uint8_t selector = data.ConsumeIntegral<uint8_t>();
    if (inputLength >= 4 && selector < 192) {
        const uint32_t value = selector < 96 ? kAmpfxSelectorGet : 0;
        if (code == IOCTL_AMPFX_EQ_BAND || code == IOCTL_AMPFX_EQ_BAND_RAW) {
            const uint16_t narrow = static_cast<uint16_t>(value);
            std::memcpy(input.data(), &narrow, 2);
        } else {
            std::memcpy(input.data(), &value, 4);
        }
    }

    std::vector<uint8_t> output(outputLength, 0xCD);
    uint64_t information = ~uint64_t{0};
    const uint32_t status = host::UserNtDeviceIoControlFile(
        rig.handle(), code, input.empty() ? nullptr : input.data(), inputLength,
        output.empty() ? nullptr : output.data(), outputLength, &information);

    if (status == 0xC0000008u)  // no control device to open: nothing was sent
        return;
    if (status == kStatusDeletePending) {
        // The handle outlived its control device; the panel would reopen.
        rig.CloseHandle();
        return;
    }
    if (status == kStatusInsufficientResources) {
        if (code != IOCTL_AMPFX_SOUND_FIELD)
            Fail("only a sound-field set may run out of resources", code, status, information);
        rig.CloseHandle();
        return;
    }
    if (status != kStatusSuccess)
        Fail("a control request failed", code, status, information);
    if (information > outputLength)
        Fail("more bytes returned than the output holds", code, status, information);
    if (information == 0)
        return;
    if (!IsKnown(code) || information != BlockSize(code))
        Fail("an answer that is not a whole block", code, status, information);
    const size_t selectorBytes =
        (code == IOCTL_AMPFX_EQ_BAND || code == IOCTL_AMPFX_EQ_BAND_RAW) ? 2 : 4;
    const bool isGet =
        (selectorBytes == 2 ? (input[0] | input[1] << 8) == 1
                            : input[0] == 1 && input[1] == 0 && input[2] == 0 && input[3] == 0);
    if (!isGet)
        Fail("a set answered with data", code, status, information);
    if (std::memcmp(output.data(), input.data(), selectorBytes) != 0 ||
        (selectorBytes == 2 && std::memcmp(output.data() + 2, input.data() + 2, 2) != 0))
        Fail("the answer does not echo selector and band", code, status, information);
}

struct Reply {
    uint32_t status = 0;
    uint64_t bytes = 0;
    std::vector<uint8_t> output;
};

template <typename Block>
Reply Call(Rig& rig, uint32_t code, const Block& block, uint32_t outputLength) {
    Reply reply;
    reply.output.assign(outputLength, 0);
    Block in = block;
    reply.status = host::UserNtDeviceIoControlFile(
        rig.handle(), code, &in, sizeof in, reply.output.empty() ? nullptr : reply.output.data(),
        outputLength, &reply.bytes);
    return reply;
}

template <typename Block>
Block Answer(const Reply& reply) {
    Block block;
    std::memcpy(&block, reply.output.data(), sizeof block);
    return block;
}

float ExpectedPower(float sent) {
    return sent < 0.0f ? 0.0f : (sent > 1.0f ? 1.0f : sent);
}

float ExpectedDistance(float sent) {
    return sent < 0.0f ? 0.0f : (static_cast<double>(sent) > 1.7 ? 1.7f : sent);
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A well-formed set followed by its get: whatever the driver keeps must be what the set
// asked for, after the documented clamps, and a driver that answers one answers both.
void RoundTrip(Rig& rig, FuzzedDataProvider& data) {
    const uint32_t code = kCodes[data.ConsumeIntegralInRange<size_t>(0, 8)];
    uint32_t setSelector = data.ConsumeIntegral<uint32_t>();
    if (setSelector == kAmpfxSelectorGet || data.ConsumeBool())
        setSelector = 0;

    Reply set, get;
    const uint32_t size = static_cast<uint32_t>(BlockSize(code));
    AmpfxBandRequest band{};
    AmpfxValueRequest value{};
    AmpfxSpeaker51Request speakers{};
    AmpfxVirtual71Request virtual71{};
    if (code == IOCTL_AMPFX_EQ_BAND || code == IOCTL_AMPFX_EQ_BAND_RAW) {
        band.Selector = static_cast<uint16_t>(setSelector);
        if (band.Selector == kAmpfxSelectorGet)
            band.Selector = 0;
        band.Band = data.ConsumeIntegralInRange<uint16_t>(0, code == IOCTL_AMPFX_EQ_BAND ? 9 : 4);
        band.Gain = data.ConsumeFloatingPoint<float>();
        set = Call(rig, code, band, 0);
        AmpfxBandRequest ask{1, band.Band, 0.0f};
        get = Call(rig, code, ask, size);
    } else if (code == IOCTL_AMPFX_SPEAKER_51) {
        speakers.Selector = setSelector;
        speakers.EnableHRTF = data.ConsumeIntegral<uint32_t>();
        speakers.LeftChOffset = data.ConsumeIntegralInRange<uint32_t>(0, 7) == 7
                                    ? data.ConsumeIntegral<uint32_t>()
                                    : data.ConsumeIntegralInRange<uint32_t>(0, 6);
        speakers.RightChOffset = data.ConsumeIntegral<uint32_t>() % 8;
        for (float& power : speakers.Ampfx5Ch1Power)
            power = data.ConsumeFloatingPoint<float>();
        set = Call(rig, code, speakers, 0);
        AmpfxSpeaker51Request ask{};
        ask.Selector = 1;
        get = Call(rig, code, ask, size);
    } else if (code == IOCTL_AMPFX_VIRTUAL_71) {
        virtual71.Selector = setSelector;
        virtual71.EnableVirtual7ch1 = data.ConsumeIntegral<uint32_t>();
        for (float& distance : virtual71.Virtual7ch1Distance)
            distance = data.ConsumeFloatingPoint<float>();
        for (float& angle : virtual71.Virtual7ch1Radian)
            angle = data.ConsumeFloatingPoint<float>();
        set = Call(rig, code, virtual71, 0);
        AmpfxVirtual71Request ask{};
        ask.Selector = 1;
        get = Call(rig, code, ask, size);
    } else {
        value.Selector = setSelector;
        value.Value = code == IOCTL_AMPFX_SOUND_FIELD ? data.ConsumeIntegralInRange<uint32_t>(0, 6)
                                                      : data.ConsumeIntegral<uint32_t>();
        set = Call(rig, code, value, size);
        get = Call(rig, code, AmpfxValueRequest{1, 0}, size);
    }

    if (set.status == 0xC0000008u)  // no control device
        return;
    if (set.status == kStatusDeletePending) {
        rig.CloseHandle();
        return;
    }
    if (get.status != kStatusSuccess)
        Fail("a get after a set failed", code, get.status, get.bytes);
    if (get.bytes != 0 && get.bytes != size)
        Fail("a get answered part of a block", code, get.status, get.bytes);
    const bool answering = get.bytes == size;
    if (set.status == kStatusInsufficientResources) {
        if (code != IOCTL_AMPFX_SOUND_FIELD || value.Value <= 4 || !answering ||
            Answer<AmpfxValueRequest>(get).Value != 0)
            Fail("a sound-field set failed that should not have", code, set.status, set.bytes);
        rig.CloseHandle();
        return;
    }
    if (set.status != kStatusSuccess || set.bytes != 0)
        Fail("a set did not succeed with nothing", code, set.status, set.bytes);
    if (!answering)
        return;

    if (code == IOCTL_AMPFX_EQ_BAND || code == IOCTL_AMPFX_EQ_BAND_RAW) {
        if (!SameBits(Answer<AmpfxBandRequest>(get).Gain, band.Gain))
            Fail("a band gain came back changed", code, set.status, band.Band);
    } else if (code == IOCTL_AMPFX_SPEAKER_51) {
        const AmpfxSpeaker51Request kept = Answer<AmpfxSpeaker51Request>(get);
        bool same =
            kept.EnableHRTF == speakers.EnableHRTF &&
            kept.LeftChOffset == (speakers.LeftChOffset <= 5 ? speakers.LeftChOffset : 0) &&
            kept.RightChOffset == (speakers.RightChOffset <= 5 ? speakers.RightChOffset : 1);
        for (int i = 0; i < 6; ++i) {
            const float sent = speakers.Ampfx5Ch1Power[i];
            same = same && (std::isnan(sent) || kept.Ampfx5Ch1Power[i] == ExpectedPower(sent));
        }
        if (!same)
            Fail("the 5.1 block came back otherwise than clamped", code, set.status, 0);
    } else if (code == IOCTL_AMPFX_VIRTUAL_71) {
        const AmpfxVirtual71Request kept = Answer<AmpfxVirtual71Request>(get);
        bool same = kept.EnableVirtual7ch1 == virtual71.EnableVirtual7ch1;
        for (int i = 0; i < 8; ++i) {
            const float sent = virtual71.Virtual7ch1Distance[i];
            same =
                same && (std::isnan(sent) || kept.Virtual7ch1Distance[i] == ExpectedDistance(sent));
            same = same && SameBits(kept.Virtual7ch1Radian[i], virtual71.Virtual7ch1Radian[i]);
        }
        if (!same)
            Fail("the 7.1 block came back otherwise than clamped", code, set.status, 0);
    } else {
        if (code == IOCTL_AMPFX_SOUND_FIELD && value.Value > 4)
            Fail("an impossible sound field was accepted", code, set.status, value.Value);
        if (Answer<AmpfxValueRequest>(get).Value != value.Value)
            Fail("a value came back changed", code, set.status, value.Value);
    }
}

void Topology(Rig& rig, FuzzedDataProvider& data) {
    const int which = data.ConsumeIntegralInRange<int>(0, Rig::kHeadsets - 1);
    switch (data.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            rig.Plug(which);
            break;
        case 1:
            rig.Unplug(which);
            break;
        case 2:
            rig.Stop(which);
            break;
        case 3:
            rig.Start(which);
            break;
        case 4:
            rig.Reopen();
            break;
        default:
            rig.CloseHandle();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // Created on the fuzzing thread, which becomes the machine's own kernel thread.
    static Rig* rig = new Rig();
    FuzzedDataProvider data(bytes, size);
    while (data.remaining_bytes() > 0) {
        const uint8_t kind = data.ConsumeIntegral<uint8_t>();
        if (kind < 8)
            Topology(*rig, data);
        else if (kind < 64)
            RoundTrip(*rig, data);
        else
            SendOne(*rig, data);
    }
    return 0;
}
