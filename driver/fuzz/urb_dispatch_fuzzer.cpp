// Random URBs through the filter's URB dispatch, on a machine with a filtered headset: every
// function code, header length, transfer flags, buffers and lengths, pipe handles good and
// bad, the other internal requests (which carry no URB) with their one-word argument, at
// PASSIVE_LEVEL and DISPATCH_LEVEL, mixed with the class driver's ordinary stream
// requests, control requests and restarts of the device. The verifier ends the run at the
// first rule broken; AddressSanitizer catches any read or write outside what the caller gave.
//
// A URB's pointers are never random: a real caller hands down its own buffers, so the
// transfer buffer (or its MDL) holds exactly TransferBufferLength bytes and the URB's memory
// is at least as long as its header says. Everything else in it is the input's.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ampfx_driver.h"
#include "filtered_machine.h"
#include "host/audio_stream.h"
#include "host/usb_headset.h"
#include "host/usbaudio_class_driver.h"

namespace {

using host::AudioStream;
using host::UsbHeadset;

constexpr size_t kMaxTransferBytes = 16384;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "urb_dispatch_fuzzer: %s\n", what);
        std::abort();
    }
}

// The machine lives for the whole process; each input may restart its device.
struct Rig {
    Rig() {
        headset = std::make_shared<UsbHeadset>(0x0F1E, 0x160D);
        node = machine.Plug(0x160D, true, headset);
        stream = std::make_unique<AudioStream>(node);
    }

    ampfx_test::FilteredMachine machine;
    std::shared_ptr<UsbHeadset> headset;
    host::DevNode* node = nullptr;
    std::unique_ptr<AudioStream> stream;
};

Rig& TheRig() {
    static Rig* rig = new Rig();  // never destroyed: libFuzzer exits without unwinding
    return *rig;
}

// A handle as a class driver might hand one down: the stream's own, a stale or foreign one.
PVOID FuzzHandle(FuzzedDataProvider& data, AudioStream& stream) {
    switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0:
            return nullptr;
        case 1:
            return stream.PlaybackPipe();
        case 2:
            return reinterpret_cast<PVOID>(0x7E5E0000u + 16 * data.ConsumeIntegralInRange(0, 64));
        default:
            return reinterpret_cast<PVOID>(data.ConsumeIntegral<uintptr_t>());
    }
}

USHORT FuzzFunction(FuzzedDataProvider& data) {
    static constexpr USHORT kCommon[] = {
        URB_FUNCTION_ISOCH_TRANSFER,   URB_FUNCTION_ISOCH_TRANSFER,
        URB_FUNCTION_CLASS_INTERFACE,  URB_FUNCTION_CLASS_INTERFACE,
        URB_FUNCTION_SELECT_INTERFACE, URB_FUNCTION_SELECT_CONFIGURATION,
        URB_FUNCTION_ABORT_PIPE,       URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
        URB_FUNCTION_CONTROL_TRANSFER, URB_FUNCTION_GET_CURRENT_FRAME_NUMBER,
        URB_FUNCTION_SYNC_RESET_PIPE,  URB_FUNCTION_GET_INTERFACE,
    };
    if (data.ConsumeBool())
        return data.PickValueInArray(kCommon);
    return data.ConsumeIntegralInRange<USHORT>(0, 0x40);
}

// One hand-built URB down the stack from the class driver's device.
void SubmitRawUrb(FuzzedDataProvider& data, Rig& rig) {
    const USHORT function = FuzzFunction(data);
    const bool fullLength = data.ConsumeBool();
    USHORT length = fullLength ? 0 : data.ConsumeIntegral<USHORT>();
    const ULONG packets = data.ConsumeIntegralInRange<ULONG>(0, 300);
    if (fullLength) {
        length = function == URB_FUNCTION_ISOCH_TRANSFER
                     ? static_cast<USHORT>(GET_ISO_URB_SIZE(packets))
                     : static_cast<USHORT>(sizeof(URB));
    }
    const size_t memoryBytes = std::max<size_t>(sizeof(URB), length);
    std::vector<uint64_t> memory((memoryBytes + 7) / 8);
    std::vector<uint8_t> fill = data.ConsumeBytes<uint8_t>(memoryBytes);
    if (!fill.empty())
        std::memcpy(memory.data(), fill.data(), fill.size());
    URB* urb = reinterpret_cast<URB*>(memory.data());
    urb->UrbHeader.Length = length;
    urb->UrbHeader.Function = function;
    urb->UrbHeader.UsbdDeviceHandle = nullptr;

    // The transfer buffer, exactly as long as the URB says, or none; sometimes only an MDL.
    const ULONG bytes = data.ConsumeIntegralInRange<ULONG>(0, kMaxTransferBytes);
    std::vector<uint8_t> buffer = data.ConsumeBytes<uint8_t>(bytes);
    buffer.resize(bytes);
    const int bufferKind = data.ConsumeIntegralInRange(0, 3);  // none, buffer, MDL, both
    PMDL mdl = nullptr;
    if ((bufferKind & 2) && bytes != 0) {
        mdl = IoAllocateMdl(buffer.data(), bytes, FALSE, FALSE, nullptr);
        if (mdl != nullptr)
            MmBuildMdlForNonPagedPool(mdl);
    }
    // A descriptor for a configuration selection: the device's own, or a damaged copy.
    std::vector<uint8_t> descriptor = rig.headset->Configuration();
    if (data.ConsumeBool() && !descriptor.empty())
        descriptor[data.ConsumeIntegralInRange<size_t>(0, 8)] = data.ConsumeIntegral<uint8_t>();

    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            urb->UrbSelectConfiguration.ConfigurationDescriptor =
                data.ConsumeBool()
                    ? reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data())
                    : nullptr;
            break;
        case URB_FUNCTION_SELECT_INTERFACE:
            urb->UrbSelectInterface.ConfigurationHandle = FuzzHandle(data, *rig.stream);
            break;
        default:
            // Every other structure has its handle where a pipe request has it, and its
            // buffer pointers and length where a transfer has them.
            urb->UrbIsochronousTransfer.PipeHandle = FuzzHandle(data, *rig.stream);
            urb->UrbIsochronousTransfer.TransferBufferLength = bytes;
            urb->UrbIsochronousTransfer.TransferBuffer =
                (bufferKind & 1) && bytes != 0 ? buffer.data() : nullptr;
            urb->UrbIsochronousTransfer.TransferBufferMDL = mdl;
            urb->UrbIsochronousTransfer.UrbLink = nullptr;
            if (function == URB_FUNCTION_ISOCH_TRANSFER) {
                urb->UrbIsochronousTransfer.NumberOfPackets = packets;
                if (data.ConsumeBool()) {
                    // Well-formed packets most of the time, so that transfers get through.
                    const ULONG step = data.ConsumeIntegralInRange<ULONG>(1, 200);
                    const ULONG room =
                        (memoryBytes - FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket)) /
                        sizeof(USBD_ISO_PACKET_DESCRIPTOR);
                    for (ULONG i = 0; i < std::min(packets, room); ++i)
                        urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * step;
                }
            }
            break;
    }
    // Class requests for the mute control with a valid shape, some of the time.
    if (function == URB_FUNCTION_CLASS_INTERFACE && data.ConsumeBool()) {
        urb->UrbControlVendorClassRequest.Request = data.ConsumeBool() ? 0x01 : 0x81;
        urb->UrbControlVendorClassRequest.Value = 0x0100;
        urb->UrbControlVendorClassRequest.Index = 0x3100;
    }
    const KIRQL irql = data.ConsumeBool() ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    const NTSTATUS status = rig.stream->Submit(urb, irql);
    Check(status != STATUS_PENDING, "a request came back still pending");
    if (mdl != nullptr)
        IoFreeMdl(mdl);
}

// An internal request that carries no URB (port status, reset, cycle, idle notification,
// hub queries, or any code at all): its argument is a single word, exactly as long as the
// caller made it, with the input's bytes in it. Nothing may read or write it as a URB.
void SubmitOtherInternal(FuzzedDataProvider& data, Rig& rig) {
    static constexpr ULONG kCodes[] = {
        IOCTL_INTERNAL_USB_GET_PORT_STATUS, IOCTL_INTERNAL_USB_RESET_PORT,
        IOCTL_INTERNAL_USB_CYCLE_PORT,      IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION,
        IOCTL_INTERNAL_USB_GET_HUB_COUNT,   IOCTL_INTERNAL_USB_ENABLE_PORT,
        IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, IOCTL_INTERNAL_USB_GET_BUS_INFO,
    };
    const ULONG code =
        data.ConsumeBool() ? data.PickValueInArray(kCodes) : data.ConsumeIntegral<ULONG>();
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return;
    auto word = std::make_unique<ULONG>(data.ConsumeIntegral<ULONG>());
    PDEVICE_OBJECT function = host::UsbAudioClassDriver::FunctionDevice(*rig.node);
    if (function == nullptr)
        return;
    const KIRQL irql = data.ConsumeBool() ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    const NTSTATUS status =
        host::UsbAudioClassDriver::SubmitInternal(function, code, word.get(), irql);
    Check(status != STATUS_PENDING, "an internal request came back still pending");
}

void Control(FuzzedDataProvider& data) {
    static constexpr uint32_t kCodes[] = {
        IOCTL_AMPFX_EQ_BAND,    IOCTL_AMPFX_EQ_BAND_RAW, IOCTL_AMPFX_EQ_ENABLE,
        IOCTL_AMPFX_DRC_ENABLE, IOCTL_AMPFX_NOISE_CLEAN, IOCTL_AMPFX_SOUND_FIELD,
        IOCTL_AMPFX_SPEAKER_51, IOCTL_AMPFX_VIRTUAL_71,  IOCTL_AMPFX_CONVERT,
    };
    const uint32_t code = data.PickValueInArray(kCodes);
    std::vector<uint8_t> block = data.ConsumeBytes<uint8_t>(data.ConsumeIntegralInRange(0, 80));
    // Sound-field sets allocate megabytes each; keep them to the valid types mostly.
    if (code == IOCTL_AMPFX_SOUND_FIELD && block.size() >= 8)
        block[4] %= 6;
    ampfx_test::SendControl(code, block.data(), static_cast<uint32_t>(block.size()),
                            data.ConsumeIntegralInRange(0, 80));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    Rig& rig = TheRig();
    FuzzedDataProvider data(bytes, size);
    for (int step = 0; step < 16 && data.remaining_bytes() > 0; ++step) {
        switch (data.ConsumeIntegralInRange(0, 10)) {
            case 0:
            case 1:
            case 2:
                SubmitRawUrb(data, rig);
                break;
            case 10:
                SubmitOtherInternal(data, rig);
                break;
            case 3:
                rig.stream->SelectInterface(data.ConsumeIntegralInRange<uint8_t>(0, 3),
                                            data.ConsumeIntegralInRange<uint8_t>(0, 2));
                break;
            case 4: {
                std::vector<uint8_t> pcm =
                    data.ConsumeBytes<uint8_t>(data.ConsumeIntegralInRange<size_t>(0, 8192));
                const ULONG flags = data.ConsumeIntegralInRange<ULONG>(0, 15);
                rig.stream->Start();
                rig.stream->WriteOut(pcm.data(), static_cast<uint32_t>(pcm.size()), flags,
                                     data.ConsumeBool() ? DISPATCH_LEVEL : PASSIVE_LEVEL);
                break;
            }
            case 5: {
                std::vector<uint8_t> captured;
                rig.stream->ReadIn(data.ConsumeIntegralInRange<uint32_t>(0, 4096), &captured);
                break;
            }
            case 6:
                rig.stream->AbortPipe();
                break;
            case 7:
                if (data.ConsumeBool()) {
                    rig.stream->SetCurMute(data.ConsumeIntegral<uint8_t>());
                } else {
                    uint8_t mute = 0;
                    rig.stream->GetCurMute(&mute);
                }
                break;
            case 8:
                Control(data);
                break;
            case 9:
                // Now and then the device starts again, or the stream configures afresh.
                if (data.ConsumeIntegralInRange(0, 15) == 0) {
                    rig.machine.pnp().Restart(rig.node);
                }
                rig.stream->Reopen();
                break;
        }
    }
    Check(rig.headset->HeldCount() == 0, "the headset holds a request it was never told to");
    rig.headset->ClearRecords();
    return 0;
}
