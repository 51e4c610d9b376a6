// The recording devices' microphones through Core Audio and the mixer: which hardware each
// headset model shows, the one state both views share, and the reports of changes on the
// notification thread.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "host/core_audio.h"
#include "host/mixer.h"
#include "host/text.h"
#include "host/usb_headset.h"
#include "session_fixture.h"

namespace host::user::testing {
namespace {

class MicrophoneTest : public SessionTest {
  protected:
    DevNode* PlugHeadset(uint16_t productId) {
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = productId;
        identity.description = AudioDevices::HeadsetDescription(productId);
        return machine_->pnp().PlugIn(identity, std::make_shared<UsbHeadset>(0x0F1E, productId));
    }

    // The capture endpoint whose name holds `part`, or null.
    MMDevice* Endpoint(const std::u16string& part) {
        MMDeviceEnumerator* enumerator = nullptr;
        if (session_->coreAudio().CreateDeviceEnumerator(&enumerator) != kHrOk)
            return nullptr;
        DeviceCollection* collection = nullptr;
        EXPECT_EQ(enumerator->EnumAudioEndpoints(1, 1, &collection), kHrOk);
        uint32_t count = 0;
        collection->GetCount(&count);
        MMDevice* found = nullptr;
        for (uint32_t i = 0; i < count && found == nullptr; ++i) {
            MMDevice* device = nullptr;
            collection->Item(i, &device);
            std::u16string name;
            device->FriendlyName(&name);
            if (name.find(part) != std::u16string::npos)
                found = device;
            else
                device->Release();
        }
        collection->Release();
        enumerator->Release();
        return found;
    }

    // The walk the panel makes: endpoint, connector 0, the adapter, its subunits; the result
    // of activating the gain control on each.
    std::vector<HResult> AgcActivations(MMDevice* endpoint) {
        std::vector<HResult> results;
        DeviceTopology* topology = nullptr;
        EXPECT_EQ(endpoint->ActivateDeviceTopology(&topology), kHrOk);
        Connector* connector = nullptr;
        EXPECT_EQ(topology->GetConnector(0, &connector), kHrOk);
        std::u16string adapterId;
        EXPECT_EQ(connector->GetDeviceIdConnectedTo(&adapterId), kHrOk);
        MMDeviceEnumerator* enumerator = nullptr;
        session_->coreAudio().CreateDeviceEnumerator(&enumerator);
        MMDevice* adapter = nullptr;
        EXPECT_EQ(enumerator->GetDevice(adapterId, &adapter), kHrOk);
        DeviceTopology* parts = nullptr;
        EXPECT_EQ(adapter->ActivateDeviceTopology(&parts), kHrOk);
        uint32_t count = 0;
        parts->GetSubunitCount(&count);
        for (uint32_t i = 0; i < count; ++i) {
            Part* subunit = nullptr;
            parts->GetSubunit(i, &subunit);
            AutoGainControl* agc = nullptr;
            results.push_back(subunit->ActivateAutoGainControl(&agc));
            if (agc != nullptr)
                agc->Release();
            subunit->Release();
        }
        parts->Release();
        adapter->Release();
        enumerator->Release();
        connector->Release();
        topology->Release();
        return results;
    }

    // Where the mixer of the first USB device shows its on/off switch: "destination",
    // "source" or "none".
    std::string MixerSwitch() {
        Mixers& mixers = session_->mixers();
        uint32_t handle = 0;
        EXPECT_EQ(mixers.Open(1, &handle), MMSYSERR_NOERROR);  // 0 is the built-in card
        MixerLine destination;
        destination.componentType = kMixerDestinationWaveIn;
        EXPECT_EQ(mixers.GetLineInfo(handle, &destination, MixerLineQuery::ComponentType),
                  MMSYSERR_NOERROR);
        MixerLine source;
        EXPECT_EQ(mixers.GetLineInfo(handle, &source, MixerLineQuery::Source), MMSYSERR_NOERROR);
        EXPECT_EQ(source.componentType, kMixerSourceMicrophone);
        MixerControl control;
        std::string where = "none";
        if (mixers.GetLineControlByType(handle, destination.lineId, kMixerControlOnOff, &control) ==
            MMSYSERR_NOERROR)
            where = "destination";
        else if (mixers.GetLineControlByType(handle, source.lineId, kMixerControlOnOff, &control) ==
                 MMSYSERR_NOERROR)
            where = "source";
        mixers.Close(handle);
        return where;
    }
};

TEST_F(MicrophoneTest, EachModelShowsItsGainControlWhereItsHardwareHasIt) {
    struct Case {
        uint16_t productId;
        std::vector<HResult> activations;  // volume, mute[, gain control] subunits
        const char* mixerBefore6;
    };
    const Case cases[] = {
        {0x1607, {kHrNoInterface, kHrNoInterface, kHrOk}, "destination"},
        {0x160C, {kHrNoInterface, kHrNoInterface, kHrOk}, "destination"},
        {0x160D, {kHrNoInterface, kHrNoInterface, kHrOk}, "source"},
        {0x1527, {kHrNoInterface, kHrNoInterface, kHrOk}, "source"},
        {0x1616, {kHrNoInterface, kHrNoInterface}, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.productId);
        Boot(UserSession::Options());
        PlugHeadset(c.productId);
        MMDevice* endpoint = Endpoint(u"(USB ");
        ASSERT_NE(endpoint, nullptr);
        EXPECT_EQ(AgcActivations(endpoint), c.activations);
        endpoint->Release();
        // Windows 6's mixer is the endpoint's: no switch whatever the hardware.
        EXPECT_EQ(MixerSwitch(), "none");

        UserSession::Options older;
        older.version = OsVersionFor(5, 1);
        Boot(older);
        PlugHeadset(c.productId);
        EXPECT_EQ(MixerSwitch(), c.mixerBefore6);
    }
}

TEST_F(MicrophoneTest, BeforeWindows6ThereIsNoCoreAudio) {
    UserSession::Options older;
    older.version = OsVersionFor(5, 1);
    Boot(older);
    PlugHeadset(0x1607);
    MMDeviceEnumerator* enumerator = reinterpret_cast<MMDeviceEnumerator*>(1);
    EXPECT_EQ(session_->coreAudio().CreateDeviceEnumerator(&enumerator), kHrClassNotRegistered);
    EXPECT_EQ(enumerator, nullptr);
    uint32_t handle = 0;
    ASSERT_EQ(session_->mixers().Open(1, &handle), MMSYSERR_NOERROR);
    MixerLine destination;
    destination.componentType = kMixerDestinationWaveIn;
    ASSERT_EQ(session_->mixers().GetLineInfo(handle, &destination, MixerLineQuery::ComponentType),
              MMSYSERR_NOERROR);
    EXPECT_EQ(Utf16ToUtf8(destination.targetName), "USB Audio Device");
    session_->mixers().Close(handle);
}

TEST_F(MicrophoneTest, TheMixerAndCoreAudioShareOneStatePerDevice) {
    PlugHeadset(0x1607);
    PlugHeadset(0x160B);
    MMDevice* first = Endpoint(u"Microphone (USB Audio Device)");
    MMDevice* second = Endpoint(u"Microphone (2- USB Audio Device)");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    AudioEndpointVolume* volume = nullptr;
    ASSERT_EQ(first->ActivateEndpointVolume(&volume), kHrOk);
    Mixers& mixers = session_->mixers();
    uint32_t handle = 0;
    ASSERT_EQ(mixers.Open(1, &handle), MMSYSERR_NOERROR);
    MixerControl level, mute;
    ASSERT_EQ(mixers.GetLineControlByType(handle, 0, kMixerControlVolume, &level),
              MMSYSERR_NOERROR);
    ASSERT_EQ(mixers.GetLineControlByType(handle, 0, kMixerControlMute, &mute), MMSYSERR_NOERROR);

    // The mixer's raw value lands on the nearest of the device's steps.
    ASSERT_EQ(mixers.SetControlValue(handle, level.controlId, 52428), MMSYSERR_NOERROR);  // 0.8
    uint32_t step = 0, count = 0;
    volume->GetVolumeStepInfo(&step, &count);
    EXPECT_EQ(step, 40u);
    EXPECT_EQ(count, 51u);
    ASSERT_EQ(volume->SetMasterVolumeLevelScalar(0.31f, nullptr), kHrOk);  // 15.5 steps: 16
    uint32_t raw = 0;
    mixers.GetControlValue(handle, level.controlId, &raw);
    EXPECT_EQ(raw, 20971u);
    EXPECT_EQ(volume->SetMasterVolumeLevelScalar(1.5f, nullptr), kHrInvalidArg);

    ASSERT_EQ(volume->SetMute(1, nullptr), kHrOk);
    uint32_t muted = 0;
    mixers.GetControlValue(handle, mute.controlId, &muted);
    EXPECT_EQ(muted, 1u);
    // The other headset keeps its own.
    AudioEndpointVolume* other = nullptr;
    ASSERT_EQ(second->ActivateEndpointVolume(&other), kHrOk);
    int32_t otherMute = 1;
    other->GetMute(&otherMute);
    EXPECT_EQ(otherMute, 0);

    // A device that leaves fails what was taken from it.
    machine_->pnp().Unplug(machine_->pnp().Devices().front());
    EXPECT_EQ(volume->GetMute(&otherMute), kHrDeviceInvalidated);
    EXPECT_EQ(mixers.GetControlValue(handle, mute.controlId, &muted), MMSYSERR_NODRIVER);
    EXPECT_EQ(other->GetMute(&otherMute), kHrOk);
    mixers.Close(handle);
    EXPECT_EQ(mixers.Close(handle), MMSYSERR_INVALHANDLE);
    other->Release();
    volume->Release();
    second->Release();
    first->Release();
    EXPECT_EQ(ComObject::Live(), 0);
}

class Recorder : public EndpointVolumeCallback, public ControlChangeCallback {
  public:
    HResult OnNotify(const VolumeNotification* data) override {
        std::lock_guard<std::mutex> lock(mutex);
        threads.push_back(std::this_thread::get_id());
        volumes.push_back(*data);
        return kHrOk;
    }
    HResult OnNotify(uint32_t, const Guid*) override {
        std::lock_guard<std::mutex> lock(mutex);
        threads.push_back(std::this_thread::get_id());
        ++agcChanges;
        return kHrOk;
    }
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<VolumeNotification> volumes;
    int agcChanges = 0;
};

TEST_F(MicrophoneTest, ChangesAreReportedOnTheNotificationThreadOnlyWhenTheValueChanges) {
    PlugHeadset(0x1607);
    MMDevice* endpoint = Endpoint(u"(USB Audio Device)");
    ASSERT_NE(endpoint, nullptr);
    AudioEndpointVolume* volume = nullptr;
    ASSERT_EQ(endpoint->ActivateEndpointVolume(&volume), kHrOk);
    Recorder recorder;
    ASSERT_EQ(volume->RegisterControlChangeNotify(&recorder), kHrOk);
    EXPECT_EQ(volume->RegisterControlChangeNotify(&recorder), kHrAlreadyRegistered);
    CoreAudio& audio = session_->coreAudio();

    Guid mine;
    mine.data1 = 0x1234;
    volume->SetMasterVolumeLevelScalar(0.5f, &mine);    // the step it already has
    volume->SetMasterVolumeLevelScalar(0.7f, &mine);    // a change, the changer's own context
    volume->SetMasterVolumeLevelScalar(0.705f, &mine);  // the same step
    volume->SetMute(1, nullptr);
    volume->SetMute(1, nullptr);
    audio.Flush();
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        ASSERT_EQ(recorder.volumes.size(), 2u);
        EXPECT_EQ(recorder.volumes[0].eventContext, mine);
        EXPECT_FLOAT_EQ(recorder.volumes[0].masterVolume, 0.7f);
        EXPECT_FALSE(recorder.volumes[0].muted);
        EXPECT_TRUE(recorder.volumes[1].muted);
        for (const std::thread::id& thread : recorder.threads)
            EXPECT_NE(thread, std::this_thread::get_id());
    }

    ASSERT_EQ(volume->UnregisterControlChangeNotify(&recorder), kHrOk);
    EXPECT_EQ(volume->UnregisterControlChangeNotify(&recorder), kHrNotFound);
    volume->SetMute(0, nullptr);
    audio.Flush();
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_EQ(recorder.volumes.size(), 2u);
    }
    volume->Release();
    endpoint->Release();
}

TEST_F(MicrophoneTest, TheGainControlReportsToItsPartsCallbacks) {
    PlugHeadset(0x160D);
    const std::string key = session_->audio().Devices().back().key;
    CoreAudio& audio = session_->coreAudio();
    Recorder recorder;
    ASSERT_EQ(audio.RegisterAgc(key, &recorder), kHrOk);
    EXPECT_EQ(audio.SetAgc(key, true, nullptr), kHrOk);
    EXPECT_EQ(audio.SetAgc(key, true, nullptr), kHrOk);
    audio.SetBoostPlacement(key, BoostPlacement::None);
    EXPECT_EQ(audio.SetAgc(key, true, nullptr), kHrNoInterface);
    audio.Flush();
    audio.Revoke(static_cast<ControlChangeCallback*>(&recorder));
    EXPECT_EQ(audio.Registrations(), 0u);
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.agcChanges, 1);
}

}  // namespace
}  // namespace host::user::testing

namespace host::user::testing {
namespace {

TEST_F(MicrophoneTest, ADeviceThatLeavesTakesItsRegistrationsAndKeepsItsSettings) {
    DevNode* node = PlugHeadset(0x1607);
    const std::string key = session_->audio().Devices().back().key;
    CoreAudio& audio = session_->coreAudio();
    Recorder recorder;
    ASSERT_EQ(audio.RegisterVolume(key, &recorder), kHrOk);
    ASSERT_EQ(audio.RegisterAgc(key, &recorder), kHrOk);
    ASSERT_EQ(audio.SetMute(key, true, nullptr), kHrOk);
    machine_->pnp().Unplug(node);
    EXPECT_EQ(audio.Registrations(), 0u);
    EXPECT_EQ(audio.SetMute(key, false, nullptr), kHrDeviceInvalidated);
    // The same headset in the same port is the same device again.
    PlugHeadset(0x1607);
    ASSERT_EQ(session_->audio().Devices().back().key, key);
    MicrophoneState state;
    ASSERT_TRUE(audio.State(key, &state));
    EXPECT_TRUE(state.mute);
    audio.Flush();
}

}  // namespace
}  // namespace host::user::testing
