#include <gtest/gtest.h>

#include "ampfx_ioctl.h"
#include "filtered_machine.h"

namespace ampfx_test {
namespace {

TEST(DriverSmokeTest, FilterLoadsAndTheControlDeviceAnswers) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(0x1607);
    ASSERT_TRUE(node->Started()) << node->Problem();
    ASSERT_NE(FilteredMachine::FilterDevice(node), nullptr);
    AmpfxValueRequest get{1, 0};
    ControlAnswer answer = SendControl(IOCTL_AMPFX_EQ_ENABLE, &get, 8, 8);
    ASSERT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.bytes, 8u);
    machine.pnp().Unplug(node);
}

}  // namespace
}  // namespace ampfx_test
