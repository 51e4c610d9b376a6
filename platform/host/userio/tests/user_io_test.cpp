#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/user_io.h"
#include "toy_pnp_filter.h"

namespace host {
namespace {

class UserIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pnptoy::Reset();
        pnptoy::g_behaviour.controlDevice = true;
        machine_ = std::make_unique<Machine>();
        machine_->InstallDriver("FilterA", "filtera.sys", pnptoy::DriverEntry);
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = 0x1607;
        node_ = machine_->pnp().PlugIn(identity);
        machine_->registry().SetMultiString(node_->EnumKey(), "LowerFilters", {"FilterA"});
        ASSERT_TRUE(machine_->pnp().Restart(node_));
    }
    void TearDown() override { machine_.reset(); }

    std::unique_ptr<Machine> machine_;
    DevNode* node_ = nullptr;
};

TEST_F(UserIoTest, Win32DevicePathsNameObjectManagerPaths) {
    EXPECT_EQ(Win32DevicePathToNtPath("\\\\.\\Class#UsbAmpfxSuite&0F1E&00"),
              "\\??\\Class#UsbAmpfxSuite&0F1E&00");
    EXPECT_EQ(Win32DevicePathToNtPath("\\\\?\\usb#vid_0f1e#x"), "\\??\\usb#vid_0f1e#x");
    EXPECT_EQ(Win32DevicePathToNtPath("//./ToyControl"), "\\??\\ToyControl");
    EXPECT_EQ(Win32DevicePathToNtPath("\\\\.\\GLOBALROOT\\Device\\ToyControl"),
              "\\Device\\ToyControl");
}

TEST_F(UserIoTest, BufferedRequestsThroughTheDosDevicesLink) {
    UserHandle handle = kInvalidUserHandle;
    ASSERT_EQ(UserCreateFile("\\\\.\\toycontrol", &handle), kErrorSuccess);
    const uint8_t input[3] = {1, 2, 3};
    uint8_t output[8] = {};
    uint32_t bytes = 99;
    EXPECT_EQ(UserDeviceIoControl(handle, pnptoy::kEchoCode, input, sizeof(input), output,
                                  sizeof(output), &bytes),
              kErrorSuccess);
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(output[0], 2);
    EXPECT_EQ(output[2], 4);
    EXPECT_EQ(output[3], 0);

    // The one request with less room than it has input answers only what fits.
    uint8_t small[1] = {};
    EXPECT_EQ(UserDeviceIoControl(handle, pnptoy::kEchoCode, input, sizeof(input), small,
                                  sizeof(small), &bytes),
              kErrorSuccess);
    EXPECT_EQ(bytes, 1u);
    EXPECT_EQ(UserCloseHandle(handle), kErrorSuccess);
    EXPECT_EQ(UserCloseHandle(handle), kErrorInvalidHandle);
}

TEST_F(UserIoTest, FailuresMapToWin32Errors) {
    UserHandle handle = kInvalidUserHandle;
    EXPECT_EQ(UserCreateFile("\\\\.\\NoSuchDevice", &handle), kErrorFileNotFound);
    EXPECT_EQ(handle, kInvalidUserHandle);
    uint32_t bytes = 5;
    EXPECT_EQ(UserDeviceIoControl(0x1234, pnptoy::kEchoCode, nullptr, 0, nullptr, 0, &bytes),
              kErrorInvalidHandle);

    ASSERT_EQ(UserCreateFile("\\\\.\\ToyControl", &handle), kErrorSuccess);
    uint8_t input[8] = {7};
    uint8_t output[8] = {9};
    EXPECT_EQ(UserDeviceIoControl(handle, pnptoy::kFailCode, input, sizeof(input), output,
                                  sizeof(output), &bytes),
              kErrorNoSystemResources);
    EXPECT_EQ(bytes, 0u) << "an error status returns no bytes";
    EXPECT_EQ(output[0], 9) << "and copies nothing back";
    EXPECT_EQ(UserDeviceIoControl(handle, 0x00220000, nullptr, 0, nullptr, 0, &bytes),
              kErrorInvalidFunction);
    UserCloseHandle(handle);
}

TEST_F(UserIoTest, NativeDeviceControlGivesTheDriversStatusUntranslated) {
    UserHandle handle = kInvalidUserHandle;
    ASSERT_EQ(UserCreateFile("\\\\.\\ToyControl", &handle), kErrorSuccess);
    uint8_t input[2] = {1, 2};
    uint8_t output[2] = {};
    uint64_t information = 77;
    EXPECT_EQ(
        UserNtDeviceIoControlFile(handle, pnptoy::kEchoCode, input, 2, output, 2, &information),
        0u);
    EXPECT_EQ(information, 2u);
    EXPECT_EQ(output[1], 3);

    information = 77;
    EXPECT_EQ(
        UserNtDeviceIoControlFile(handle, pnptoy::kFailCode, input, 2, output, 2, &information),
        0xC000009Au);
    EXPECT_EQ(information, 77u) << "an error leaves the caller's status block alone";
    UserCloseHandle(handle);
    EXPECT_EQ(
        UserNtDeviceIoControlFile(handle, pnptoy::kEchoCode, input, 2, output, 2, &information),
        0xC0000008u);  // STATUS_INVALID_HANDLE
}

TEST_F(UserIoTest, AnOpenHandleKeepsTheDeviceAndItsDriverUntilItCloses) {
    UserHandle handle = kInvalidUserHandle;
    ASSERT_EQ(UserCreateFile("\\\\.\\ToyControl", &handle), kErrorSuccess);
    machine_->pnp().Unplug(node_);

    UserHandle second = kInvalidUserHandle;
    EXPECT_EQ(UserCreateFile("\\\\.\\ToyControl", &second), kErrorFileNotFound);
    EXPECT_NE(kernel::FindDriver("FilterA"), nullptr);
    uint8_t value[1] = {4};
    uint32_t bytes = 0;
    EXPECT_EQ(UserDeviceIoControl(handle, pnptoy::kEchoCode, value, 1, value, 1, &bytes),
              kErrorSuccess)
        << "requests on the handle still reach the deleted device";
    EXPECT_EQ(value[0], 5);

    EXPECT_EQ(UserCloseHandle(handle), kErrorSuccess);
    kernel::Settle();
    EXPECT_EQ(kernel::FindDriver("FilterA"), nullptr);
}

}  // namespace
}  // namespace host
