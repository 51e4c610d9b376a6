// The panel's microphone operations over the simulated session while Windows reports changes
// on its notification thread: the interface thread enters the microphone page (registering
// both callbacks), drags the knob (each step reported back to the panel itself) and leaves
// (unregistering), over and over, while another program keeps changing the volume, mute and
// gain control. Built for ThreadSanitizer: no report is expected, and no callback may run for
// a page that has been left.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/usb_headset.h"
#include "host/user_session.h"
#include "host/user_system.h"
#include "microphone_host.h"
#include "windows_volume.h"

namespace {

namespace user = host::user;

class TempRoot {
  public:
    TempRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ampfx-mic-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempRoot() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(MicNotifyStress, CallbacksNeverRunForAPageThatWasLeft) {
    TempRoot root;
    host::Machine machine;
    host::UserSystem system(root.path());
    user::UserSession session(machine, system);
    host::UsbDeviceIdentity identity;
    identity.vendorId = 0x0F1E;
    identity.productId = 0x1607;
    identity.description = user::AudioDevices::HeadsetDescription(0x1607);
    machine.pnp().PlugIn(identity, std::make_shared<host::UsbHeadset>(0x0F1E, 0x1607));
    const std::string key = session.audio().Devices().back().key;
    const std::u16string description = u"Microphone (USB Audio Device)";

    panelhost::HostCoreAudio coreAudio(session.coreAudio());
    panelhost::HostMixer mixer(session.mixers());
    WindowsVolume volume(coreAudio, mixer);

    // Written by the interface thread only, read by the callbacks: the registration and the
    // unregistration are what order the two.
    bool pageShown = false;
    std::atomic<int> notified{0}, afterLeaving{0};
    // Like the program's OnNotify on Windows: read the page, then ask Windows again from the
    // notification thread with a COM initialisation of its own.
    auto onNotify = [&] {
        if (!pageShown)
            ++afterLeaving;
        uint32_t mute = 0, boost = 0;
        volume.GetMicMute(description, &mute);
        volume.GetMicBoost(description, &boost);
        ++notified;
    };
    volume.SetNotifyHandlers(onNotify, onNotify);

    std::atomic<bool> stop{false};
    std::thread elsewhere([&] {
        user::CoreAudio& audio = session.coreAudio();
        for (uint32_t i = 0; !stop; ++i) {
            audio.SetScalar(key, static_cast<float>(i % 51) / 50.0f, nullptr);
            if (i % 7 == 0)
                audio.SetMute(key, (i / 7) % 2 != 0, nullptr);
            if (i % 11 == 0)
                audio.SetAgc(key, (i / 11) % 2 != 0, nullptr);
            std::this_thread::yield();
        }
    });

    for (int round = 0; round < 150; ++round) {
        pageShown = true;
        ASSERT_EQ(volume.RegisterMicCallbacks(description), 0);
        for (uint32_t percent = 0; percent <= 100; percent += 25) {
            EXPECT_EQ(volume.SetMicVolume(description, percent), 0);
            uint32_t raw = percent * 655;
            EXPECT_EQ(volume.MixerMicControl(1, &raw, nullptr, nullptr), 1);
        }
        EXPECT_EQ(volume.SetMicBoost(description, round % 2), 0);
        ASSERT_EQ(volume.UnregisterMicCallbacks(description), 0);
        pageShown = false;
    }
    stop = true;
    elsewhere.join();
    session.coreAudio().Flush();
    coreAudio.RevokeCallbacks();

    EXPECT_GT(notified.load(), 0);
    EXPECT_EQ(afterLeaving.load(), 0);
    EXPECT_FALSE(volume.HoldsEndpointVolume());
    EXPECT_EQ(session.coreAudio().Registrations(), 0u);
    // Every interface the panel took was released.
    EXPECT_EQ(user::ComObject::Live(), 0);
}

TEST(MicNotifyStress, APanelEndingOnTheMicrophonePageLeavesNothingOfCoreAudioAlive) {
    TempRoot root;
    host::Machine machine;
    host::UserSystem system(root.path());
    user::UserSession session(machine, system);
    host::UsbDeviceIdentity identity;
    identity.vendorId = 0x0F1E;
    identity.productId = 0x1607;
    identity.description = user::AudioDevices::HeadsetDescription(0x1607);
    machine.pnp().PlugIn(identity, std::make_shared<host::UsbHeadset>(0x0F1E, 0x1607));
    const int before = user::ComObject::Live();
    {
        // The program ends with its callbacks registered and the objects they need held, as a
        // panel closed on the microphone page does.
        panelhost::HostCoreAudio coreAudio(session.coreAudio());
        panelhost::HostMixer mixer(session.mixers());
        WindowsVolume volume(coreAudio, mixer);
        ASSERT_EQ(volume.RegisterMicCallbacks(u"Microphone (USB Audio Device)"), 0);
        EXPECT_GT(user::ComObject::Live(), before);
    }
    EXPECT_EQ(user::ComObject::Live(), before);
}

}  // namespace
