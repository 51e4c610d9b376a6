// The panel's seven requests end to end: the host driver link, the simulated I/O manager and
// the real driver on a machine with a filtered headset.
#include <gtest/gtest.h>

#include <cstring>

#include "ampfx_ioctl.h"
#include "driver_link_host.h"
#include "driver_requests.h"
#include "filtered_machine.h"

namespace {

constexpr uint16_t kSupported = 0x1607;
constexpr uint16_t kUnlisted = 0x1234;

class DriverLinkHostTest : public ::testing::Test {
  protected:
    AmpfxVirtual71Request ReadVirtual71() {
        AmpfxVirtual71Request block{};
        block.Selector = kAmpfxSelectorGet;
        ampfx_test::ControlAnswer answer =
            ampfx_test::SendControl(IOCTL_AMPFX_VIRTUAL_71, &block, sizeof block, sizeof block);
        EXPECT_EQ(answer.bytes, sizeof block);
        std::memcpy(&block, answer.output.data(), sizeof block);
        return block;
    }

    ampfx_test::FilteredMachine machine;
    HostDriverLink link;
    DriverLink::Handle cached = DriverLink::kInvalidHandle;
    DriverRequests requests{link, cached};
    uint32_t bytesUnused = 0;
};

TEST_F(DriverLinkHostTest, ValueRequestsShareOneHandleAndTheDriverAnswersThem) {
    machine.Plug(kSupported);

    ASSERT_EQ(requests.SetBandGain(3, 2.0f), 1);
    const DriverLink::Handle first = cached;
    ASSERT_NE(first, DriverLink::kInvalidHandle);
    float gain = 0.0f;
    EXPECT_EQ(requests.GetBandGain(3, &gain), 1);
    EXPECT_EQ(gain, 2.0f);
    gain = 0.0f;
    EXPECT_EQ(requests.GetBandGain(10, &gain), 0) << "an ignored band answers nothing";
    EXPECT_EQ(gain, 0.0f);

    uint32_t flag = 0;
    EXPECT_EQ(requests.EqualizerFlag(0, &flag), 1);
    flag = 7;
    EXPECT_EQ(requests.EqualizerFlag(1, &flag), 1);
    EXPECT_EQ(flag, 0u);

    EXPECT_EQ(requests.NoiseCleanOff(), 1);
    EXPECT_EQ(requests.SetSoundField(2), 1);
    uint32_t type = 0;
    EXPECT_EQ(requests.GetSoundField(&type), 1);
    EXPECT_EQ(type, 2u);

    EXPECT_EQ(cached, first) << "every value request went over the one cached handle";
    EXPECT_EQ(host::UserOpenHandleCount(), 1u);
}

TEST_F(DriverLinkHostTest, ImpossibleSoundFieldFailsDropsTheHandleAndReadsBackNone) {
    machine.Plug(kSupported);
    ASSERT_EQ(requests.SetSoundField(3), 1);
    ASSERT_EQ(host::UserOpenHandleCount(), 1u);

    EXPECT_EQ(requests.SetSoundField(5), 0);
    EXPECT_EQ(cached, DriverLink::kInvalidHandle);
    EXPECT_EQ(host::UserOpenHandleCount(), 0u) << "the failed call closed the cached handle";

    uint32_t type = 9;
    EXPECT_EQ(requests.GetSoundField(&type), 1);
    EXPECT_EQ(type, 0u);
    EXPECT_NE(cached, DriverLink::kInvalidHandle) << "the next request opened the device again";
}

TEST_F(DriverLinkHostTest, Virtual71BlockTravelsOnAHandleOfItsOwn) {
    machine.Plug(kSupported);
    uint32_t flag = 0;
    ASSERT_EQ(requests.EqualizerFlag(1, &flag), 1);
    const DriverLink::Handle before = cached;

    const float distances[8] = {2.0f, -1.0f, 0.5f, 1.0f, 1.0f, 1.0f, 1.0f, 1.7f};
    const float angles[8] = {10.0f, 0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, -6.0f};
    EXPECT_EQ(requests.SendVirtual71(1, distances, angles), 1);
    EXPECT_EQ(cached, before);
    EXPECT_EQ(host::UserOpenHandleCount(), 1u) << "the block's own handle is closed again";

    const AmpfxVirtual71Request stored = ReadVirtual71();
    EXPECT_EQ(stored.EnableVirtual7ch1, 1u);
    EXPECT_EQ(stored.Virtual7ch1Distance[0], 1.7f);
    EXPECT_EQ(stored.Virtual7ch1Distance[1], 0.0f);
    EXPECT_EQ(stored.Virtual7ch1Distance[2], 0.5f);
    EXPECT_EQ(stored.Virtual7ch1Radian[0], 10.0f);
    EXPECT_EQ(stored.Virtual7ch1Radian[7], -6.0f);
}

TEST_F(DriverLinkHostTest, UnlistedHeadsetAnswersNothingUntilASupportedOneStarts) {
    machine.Plug(kUnlisted);

    float gain = 0.25f;
    EXPECT_EQ(requests.GetBandGain(0, &gain), 0) << "success without data is a failed get";
    EXPECT_EQ(gain, 0.25f);
    EXPECT_NE(cached, DriverLink::kInvalidHandle) << "but the call itself succeeded";
    uint32_t flag = 5;
    EXPECT_EQ(requests.EqualizerFlag(1, &flag), 1);
    EXPECT_EQ(flag, 5u);
    uint32_t type = 4;
    EXPECT_EQ(requests.GetSoundField(&type), 1);
    EXPECT_EQ(type, 0u) << "the block's own value, which the driver never touched";
    EXPECT_EQ(requests.SetSoundField(5), 1) << "nothing is served, so nothing fails";
    EXPECT_EQ(requests.SetBandGain(0, 3.0f), 1);

    // The supported headset that starts next decides for the control device the first one
    // made; the panel's handle stays the same.
    const DriverLink::Handle handle = cached;
    machine.Plug(kSupported);
    EXPECT_EQ(requests.GetBandGain(0, &gain), 1);
    EXPECT_EQ(gain, 1.0f) << "the set before the start changed nothing";
    EXPECT_EQ(cached, handle);
}

TEST_F(DriverLinkHostTest, WithoutTheControlDeviceEveryRequestFailsAtOpen) {
    host::DevNode* node = machine.Plug(kSupported);
    ASSERT_EQ(requests.SetBandGain(1, 1.5f), 1);
    machine.pnp().Unplug(node);

    // The cached handle still reaches the deleted control device, which refuses the request;
    // the handle is dropped and every later open fails.
    EXPECT_EQ(requests.SetBandGain(1, 1.5f), 0);
    EXPECT_EQ(cached, DriverLink::kInvalidHandle);
    EXPECT_EQ(host::UserOpenHandleCount(), 0u);
    uint32_t type = 3;
    EXPECT_EQ(requests.GetSoundField(&type), 0);
    EXPECT_EQ(type, 3u);
    const float levels[8] = {};
    EXPECT_EQ(requests.SendVirtual71(0, levels, levels), 0);
    EXPECT_EQ(cached, DriverLink::kInvalidHandle);
}

// The same link gives ampfxctl the driver's own status: where the panel's call only fails,
// the NT call says why, and neither returns data with an error.
TEST_F(DriverLinkHostTest, TheNtCallGivesTheDriversOwnStatus) {
    EXPECT_EQ(link.OpenA(AMPFX_CONTROL_DEVICE_PATH_A), DriverLink::kInvalidHandle);
    EXPECT_EQ(link.LastOpenError(), 2u) << "no headset, no control device";

    machine.Plug(kSupported);
    const DriverLink::Handle handle = link.OpenA(AMPFX_CONTROL_DEVICE_PATH_A);
    ASSERT_NE(handle, DriverLink::kInvalidHandle);
    struct Case {
        const char* what;
        uint32_t type;
        uint32_t selector;
        uint32_t status;
        uint32_t bytes;
    } cases[] = {
        {"a sound field the driver cannot set up", 5, 0u, 0xC000009A, 0},
        {"a sound field it can", 2, 0u, 0, 0},
        {"the sound field read back", 0, kAmpfxSelectorGet, 0, 8},
    };
    for (const Case& c : cases) {
        const uint32_t block[2] = {c.selector, c.type};
        uint32_t answer[2] = {7, 7};
        uint32_t bytes = 99;
        EXPECT_EQ(link.NtDeviceIoControl(handle, IOCTL_AMPFX_SOUND_FIELD, block, sizeof block,
                                         answer, sizeof answer, &bytes),
                  c.status)
            << c.what;
        EXPECT_EQ(bytes, c.bytes) << c.what;
        uint32_t win32Bytes = 99;
        EXPECT_EQ(link.DeviceIoControl(handle, IOCTL_AMPFX_SOUND_FIELD, block, sizeof block, answer,
                                       sizeof answer, &win32Bytes),
                  c.status == 0)
            << c.what;
        EXPECT_EQ(win32Bytes, c.bytes) << c.what;
    }
    link.Close(handle);
    EXPECT_EQ(host::UserOpenHandleCount(), 0u);
    EXPECT_EQ(link.NtDeviceIoControl(handle, IOCTL_AMPFX_SOUND_FIELD, nullptr, 0, nullptr, 0,
                                     &bytesUnused),
              0xC0000008u)  // STATUS_INVALID_HANDLE
        << "a closed handle";
}

}  // namespace
