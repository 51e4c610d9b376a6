// What the session shows of the machine's devices: the USB hubs through SetupAPI and the hub
// requests, device-interface notifications on plug and unplug, and the audio devices of
// DirectSound and the wave functions.
#include <string.h>

#include <gtest/gtest.h>

#include "host/audio_stream.h"
#include "host/text.h"
#include "host/usb_headset.h"
#include "host/user_io.h"
#include "host/win32_error.h"
#include "session_fixture.h"

namespace host::user::testing {
namespace {

constexpr uint32_t kNodeInformation = 0x220408;
constexpr uint32_t kConnectionInformation = 0x22040C;

class DevicesTest : public SessionTest {
  protected:
    DevNode* PlugHeadset(uint16_t productId, std::optional<UsbPort> at = std::nullopt) {
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = productId;
        identity.description = AudioDevices::HeadsetDescription(productId);
        return machine_->pnp().PlugIn(identity, std::make_shared<UsbHeadset>(0x0F1E, productId),
                                      at);
    }

    // Every hub's device path, as the panel's discovery walks them.
    std::vector<std::string> HubPaths(SetupApi& setup) {
        std::vector<std::string> paths;
        const Handle set =
            setup.SetupDiGetClassDevs(&kUsbHubGuid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, kInvalidHandle);
        for (uint32_t index = 0;; ++index) {
            DeviceInterfaceData data;
            data.cbSize = setup.InterfaceDataSize();
            if (!setup.SetupDiEnumDeviceInterfaces(set, kUsbHubGuid, index, &data)) {
                EXPECT_EQ(GetLastError(), kErrorNoMoreItems);
                break;
            }
            uint32_t required = 0;
            EXPECT_FALSE(setup.SetupDiGetDeviceInterfaceDetail(set, data, nullptr, 0, &required));
            EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
            std::vector<uint8_t> detail(required);
            const uint32_t cbSize = setup.DetailDataSize();
            memcpy(detail.data(), &cbSize, 4);
            EXPECT_TRUE(setup.SetupDiGetDeviceInterfaceDetail(set, data, detail.data(), required,
                                                              &required));
            paths.push_back(Utf16ToUtf8(Utf16FromBytes(detail.data() + 4, (required - 6) / 2)));
        }
        EXPECT_TRUE(setup.SetupDiDestroyDeviceInfoList(set));
        return paths;
    }

    struct Connection {
        uint32_t error;
        uint16_t vendor, product, address;
        uint32_t status;
        bool isHub;
        uint32_t returned;
    };

    static Connection Query(UserHandle hub, uint32_t port, uint32_t length = 365) {
        std::vector<uint8_t> buffer(length, 0);
        memcpy(buffer.data(), &port, 4);
        uint32_t returned = 0;
        Connection c{};
        c.error = UserDeviceIoControl(hub, kConnectionInformation, buffer.data(), length,
                                      buffer.data(), length, &returned);
        if (c.error == kErrorSuccess) {
            memcpy(&c.vendor, &buffer[12], 2);
            memcpy(&c.product, &buffer[14], 2);
            memcpy(&c.address, &buffer[25], 2);
            memcpy(&c.status, &buffer[31], 4);
            c.isHub = buffer[24] != 0;
        }
        c.returned = returned;
        return c;
    }

    static int Ports(UserHandle hub) {
        uint8_t buffer[76] = {};
        uint32_t returned = 0;
        if (UserDeviceIoControl(hub, kNodeInformation, buffer, 76, buffer, 76, &returned) !=
            kErrorSuccess) {
            return -1;
        }
        EXPECT_EQ(returned, 76u);
        EXPECT_EQ(buffer[5], 0x29);  // a hub descriptor
        return buffer[6];
    }
};

TEST_F(DevicesTest, HubsAreListedWithTheDetailSizeOfTheCallersPointerWidth) {
    const int hub = machine_->pnp().PlugInHub(4);
    ASSERT_EQ(hub, 1);
    for (Bitness bitness : {Bitness::k32, Bitness::k64}) {
        SetupApi setup(bitness);
        const std::vector<std::string> paths = HubPaths(setup);
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_EQ(paths[0],
                  "\\\\?\\usb#root_hub20#4&2f3a9c1&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
        EXPECT_EQ(paths[1].substr(0, 26), "\\\\?\\usb#vid_05e3&pid_0608#");
    }
    SetupApi setup32(Bitness::k32);
    SetupApi setup64(Bitness::k64);
    EXPECT_EQ(setup32.DetailDataSize(), 6u);
    EXPECT_EQ(setup64.DetailDataSize(), 8u);
    // A detail record sized for the other width is refused.
    const Handle set =
        setup32.SetupDiGetClassDevs(&kUsbHubGuid, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    DeviceInterfaceData data;
    data.cbSize = 32;
    EXPECT_FALSE(setup32.SetupDiEnumDeviceInterfaces(set, kUsbHubGuid, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    data.cbSize = 28;
    ASSERT_TRUE(setup32.SetupDiEnumDeviceInterfaces(set, kUsbHubGuid, 0, &data));
    std::vector<uint8_t> detail(256, 0);
    uint32_t required = 0;
    for (uint32_t cbSize : {0u, 5u, 8u, 256u}) {
        memcpy(detail.data(), &cbSize, 4);
        EXPECT_FALSE(
            setup32.SetupDiGetDeviceInterfaceDetail(set, data, detail.data(), 256, &required))
            << cbSize;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER) << cbSize;
    }
    const uint32_t six = 6;
    memcpy(detail.data(), &six, 4);
    EXPECT_FALSE(setup32.SetupDiGetDeviceInterfaceDetail(set, data, detail.data(), 20, &required));
    EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
    EXPECT_EQ(required, 4u + (69u + 1u) * 2u);
    EXPECT_FALSE(setup32.SetupDiGetDeviceInterfaceDetail(set, data, nullptr, 20, &required));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_TRUE(setup32.SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(setup32.SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(setup32.SetupDiEnumDeviceInterfaces(set, kUsbHubGuid, 0, &data));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(DevicesTest, HubsReportTheDevicesOnTheirPorts) {
    DevNode* onRoot = PlugHeadset(0x1607, UsbPort{PnpManager::kRootHub, 2});
    ASSERT_NE(onRoot, nullptr);
    const int hub = machine_->pnp().PlugInHub(4, UsbPort{PnpManager::kRootHub, 5});
    DevNode* behindHub = PlugHeadset(0x160D, UsbPort{hub, 3});
    ASSERT_NE(behindHub, nullptr);
    SetupApi setup(Bitness::k32);
    const std::vector<std::string> paths = HubPaths(setup);
    ASSERT_EQ(paths.size(), 2u);
    UserHandle root = kInvalidUserHandle;
    UserHandle external = kInvalidUserHandle;
    ASSERT_EQ(UserCreateFile(paths[0], &root), kErrorSuccess);
    ASSERT_EQ(UserCreateFile(paths[1], &external), kErrorSuccess);
    EXPECT_EQ(Ports(root), PnpManager::kRootHubPorts);
    EXPECT_EQ(Ports(external), 4);

    struct Case {
        UserHandle hub;
        uint32_t port;
        uint32_t status;
        uint16_t vendor, product;
        bool isHub;
    };
    const Case cases[] = {
        {root, 1, 0, 0, 0, false},          {root, 2, 1, 0x0F1E, 0x1607, false},
        {root, 5, 1, 0x05E3, 0x0608, true}, {external, 3, 1, 0x0F1E, 0x160D, false},
        {external, 4, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        const Connection got = Query(c.hub, c.port);
        ASSERT_EQ(got.error, kErrorSuccess) << c.port;
        EXPECT_EQ(got.status, c.status) << c.port;
        EXPECT_EQ(got.vendor, c.vendor) << c.port;
        EXPECT_EQ(got.product, c.product) << c.port;
        EXPECT_EQ(got.isHub, c.isHub) << c.port;
        EXPECT_EQ(got.address != 0, c.status == 1) << c.port;
        EXPECT_EQ(got.returned, 35u) << c.port;  // no pipe is open before streaming
    }
    EXPECT_NE(Query(root, 2).address, Query(external, 3).address);
    // A stream opens the playback endpoint, which the hub then lists, as room allows.
    AudioStream stream(onRoot);
    ASSERT_EQ(stream.Start(), STATUS_SUCCESS);
    EXPECT_EQ(Query(root, 2).returned, 35u + 11u);
    EXPECT_EQ(Query(root, 2, 40).returned, 35u);
    std::vector<uint8_t> buffer(365, 0);
    buffer[0] = 2;
    uint32_t got = 0;
    ASSERT_EQ(UserDeviceIoControl(root, kConnectionInformation, buffer.data(), 365, buffer.data(),
                                  365, &got),
              kErrorSuccess);
    EXPECT_EQ(buffer[22], 1);         // configuration 1
    EXPECT_EQ(buffer[27], 1);         // one open pipe
    EXPECT_EQ(buffer[35 + 2], 0x01);  // its endpoint: isochronous OUT 1
    EXPECT_EQ(buffer[35 + 4] | (buffer[35 + 5] << 8), 192);
    // Ports that are not there, and buffers too small for the record.
    EXPECT_EQ(Query(root, 0).error, kErrorInvalidParameter);
    EXPECT_EQ(Query(root, 7).error, kErrorInvalidParameter);
    EXPECT_EQ(Query(root, 2, 34).error, kErrorInsufficientBuffer);
    uint8_t small[76];  // the later requests use all of it, this one a byte less
    uint32_t returned = 0;
    EXPECT_EQ(UserDeviceIoControl(root, kNodeInformation, small, 75, small, 75, &returned),
              kErrorInsufficientBuffer);

    // The hub goes, and the device behind it with it.
    machine_->pnp().UnplugHub(hub);
    EXPECT_FALSE(behindHub->Present());
    EXPECT_EQ(Query(root, 5).status, 0u);
    EXPECT_EQ(UserDeviceIoControl(external, kNodeInformation, small, 76, small, 76, &returned),
              kErrorDeviceNotConnected);
    EXPECT_EQ(UserCloseHandle(external), kErrorSuccess);
    EXPECT_EQ(UserCloseHandle(root), kErrorSuccess);
    EXPECT_EQ(UserDeviceIoControl(root, kNodeInformation, small, 76, small, 76, &returned),
              kErrorInvalidHandle);
    EXPECT_EQ(HubPaths(setup).size(), 1u);
}

TEST_F(DevicesTest, PlugAndUnplugArePostedToRegisteredWindows) {
    UiThread panel(desktop(), Popup(u"Panel"));
    std::vector<std::pair<WParam, std::u16string>> changes;
    std::mutex mutex;
    UiThread listener(
        desktop(), Popup(u"Listener"), [&](Hwnd, uint32_t message, WParam w, LParam l, LResult*) {
            if (message == WM_DEVICECHANGE) {
                const auto* record = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(l));
                uint32_t size = 0;
                uint32_t type = 0;
                memcpy(&size, record, 4);
                memcpy(&type, record + 4, 4);
                EXPECT_EQ(type, DBT_DEVTYP_DEVICEINTERFACE);
                std::u16string name = Utf16FromBytes(record + kDevBroadcastNameOffset,
                                                     (size - kDevBroadcastNameOffset) / 2 - 1);
                std::lock_guard<std::mutex> lock(mutex);
                changes.emplace_back(w, name);
            }
            return false;
        });
    Handle registration = 0;
    listener.Run([&] {
        registration = desktop().RegisterDeviceNotification(listener.hwnd(), kKsCategoryAudioGuid,
                                                            DEVICE_NOTIFY_WINDOW_HANDLE);
    });
    ASSERT_NE(registration, 0u);
    DevNode* node = PlugHeadset(0x1607);
    ASSERT_TRUE(desktop().WaitIdle());
    machine_->pnp().Unplug(node);
    ASSERT_TRUE(desktop().WaitIdle());
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].first, DBT_DEVICEARRIVAL);
    EXPECT_EQ(changes[1].first, DBT_DEVICEREMOVECOMPLETE);
    const std::string name = Utf16ToUtf8(changes[0].second);
    EXPECT_EQ(name.substr(0, 32), "\\\\?\\USB#VID_0F1E&PID_1607&MI_00#");
    EXPECT_EQ(name.substr(name.size() - 38), "{6994ad04-93ef-11d0-a3cc-00a0c9223196}");
    EXPECT_EQ(changes[1].second, changes[0].second);
    // A window that did not register hears nothing.
    EXPECT_TRUE(panel.Of(WM_DEVICECHANGE).empty());
    EXPECT_TRUE(desktop().UnregisterDeviceNotification(registration));
    EXPECT_FALSE(desktop().UnregisterDeviceNotification(registration));
    PlugHeadset(0x160D);
    ASSERT_TRUE(desktop().WaitIdle());
    EXPECT_EQ(changes.size(), 2u);
    SetLastError(0);
    EXPECT_EQ(desktop().RegisterDeviceNotification(0x4242, kKsCategoryAudioGuid, 0), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

struct Listed {
    bool primary;
    std::string description;
    std::string path;
};

std::vector<Listed> Enumerate(AudioDevices& audio, Flow flow) {
    std::vector<Listed> listed;
    audio.DirectSoundEnumerate(flow, [&](const DirectSoundDeviceRecord* record,
                                         const std::u16string& description, const std::u16string&) {
        listed.push_back(Listed{record == nullptr, Utf16ToUtf8(description),
                                record == nullptr ? "" : Utf16ToUtf8(record->interfacePath)});
        return true;
    });
    return listed;
}

std::string WaveName(AudioDevices& audio, Flow flow, uint32_t id) {
    WaveCaps caps;
    return audio.GetDevCaps(flow, id, &caps) == MMSYSERR_NOERROR ? Utf16ToUtf8(caps.name) : "-";
}

TEST_F(DevicesTest, AnArrivingHeadsetBecomesTheDefaultAndTheBuiltInCardTakesOverAgain) {
    AudioDevices& audio = session_->audio();
    EXPECT_EQ(audio.GetNumDevs(Flow::Playback), 1u);
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "Speakers (High Definition Audio");
    EXPECT_EQ(WaveName(audio, Flow::Playback, 1), "-");
    DevNode* headset = PlugHeadset(0x1607);
    ASSERT_TRUE(headset->Started());
    EXPECT_EQ(audio.GetNumDevs(Flow::Recording), 2u);
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "Speakers (USB Audio Device)");
    EXPECT_EQ(WaveName(audio, Flow::Recording, 0), "Microphone (USB Audio Device)");
    EXPECT_EQ(WaveName(audio, Flow::Playback, 1), "Speakers (High Definition Audio");

    const std::vector<Listed> playback = Enumerate(audio, Flow::Playback);
    ASSERT_EQ(playback.size(), 3u);
    EXPECT_TRUE(playback[0].primary);
    EXPECT_EQ(playback[0].description, "Primary Sound Driver");
    EXPECT_EQ(playback[1].description, "Speakers (USB Audio Device)");
    EXPECT_EQ(playback[1].path.substr(0, 32), "\\\\?\\usb#vid_0f1e&pid_1607&mi_00#");
    EXPECT_EQ(playback[2].description, "Speakers (High Definition Audio Device)");
    EXPECT_EQ(playback[2].path.substr(0, 12), "\\\\?\\hdaudio#");
    const std::vector<Listed> capture = Enumerate(audio, Flow::Recording);
    ASSERT_EQ(capture.size(), 3u);
    EXPECT_EQ(capture[0].description, "Primary Sound Capture Driver");
    EXPECT_EQ(capture[1].description, "Microphone (USB Audio Device)");

    // The scenario makes the built-in card the default playback device: recording stays.
    ASSERT_TRUE(audio.SetDefault(Flow::Playback, 0));
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "Speakers (High Definition Audio");
    EXPECT_EQ(WaveName(audio, Flow::Recording, 0), "Microphone (USB Audio Device)");
    ASSERT_TRUE(audio.SetDefault(Flow::Playback, 1));
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "Speakers (USB Audio Device)");
    EXPECT_FALSE(audio.SetDefault(Flow::Playback, 2));

    machine_->pnp().Unplug(headset);
    EXPECT_EQ(audio.GetNumDevs(Flow::Playback), 1u);
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "Speakers (High Definition Audio");
    EXPECT_EQ(audio.DefaultKey(Flow::Recording), "builtin");
}

TEST_F(DevicesTest, TwoHeadsetsOfOneNameAreTold2Apart) {
    AudioDevices& audio = session_->audio();
    PlugHeadset(0x1607);
    PlugHeadset(0x1617);
    PlugHeadset(0x160B);
    const std::vector<AudioDevice> devices = audio.Devices();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(Utf16ToUtf8(devices[1].renderDescription), "Speakers (USB Audio Device)");
    EXPECT_EQ(Utf16ToUtf8(devices[2].renderDescription), "Speakers (USB Headphone Set)");
    EXPECT_EQ(Utf16ToUtf8(devices[3].renderDescription), "Speakers (2- USB Audio Device)");
    // The last to arrive is the default.
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "Speakers (2- USB Audio Device)");
    EXPECT_NE(devices[1].renderGuid, devices[3].renderGuid);
    EXPECT_NE(devices[1].renderGuid, devices[1].captureGuid);
}

TEST_F(DevicesTest, OlderSystemsNameTheDeviceItself) {
    UserSession::Options options;
    options.version = OsVersionFor(5, 1);
    Boot(options);
    AudioDevices& audio = session_->audio();
    PlugHeadset(0x1616);
    EXPECT_EQ(WaveName(audio, Flow::Playback, 0), "USB Headphone Set");
    EXPECT_EQ(WaveName(audio, Flow::Recording, 0), "USB Headphone Set");
    EXPECT_EQ(WaveName(audio, Flow::Playback, WAVE_MAPPER), "Microsoft Sound Mapper");
    audio.SetBuiltInPresent(false);
    machine_->pnp().Unplug(machine_->pnp().Devices().front());
    EXPECT_EQ(audio.GetNumDevs(Flow::Playback), 0u);
    WaveCaps caps;
    EXPECT_EQ(audio.GetDevCaps(Flow::Playback, 0, &caps), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(audio.GetDevCaps(Flow::Playback, WAVE_MAPPER, &caps), MMSYSERR_NODRIVER);
}

}  // namespace
}  // namespace host::user::testing
