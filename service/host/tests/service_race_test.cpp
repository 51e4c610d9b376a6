// The running service's threads (its dispatcher, ServiceMain with the loop) against callers on
// several threads at once, for ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "dovrel_host.h"
#include "filtered_machine.h"
#include "host/machine.h"
#include "host/user_system.h"
#include "temp_drive.h"

namespace dovrel {
namespace {

constexpr int kRounds = 20;
constexpr uint32_t kInterrogate = 4;
constexpr uint32_t kUnknownControl = 200;

TEST(ServiceRaceTest, ScansControlsAndQueriesFromSeveralThreadsMeetSafely) {
    TempDrive drive;
    host::Machine machine;
    host::kernel::RegisterDriverImage("Ampfx.sys", DriverEntry);
    host::UserSystem system(drive.path());
    DovrelHost dovrel(machine.pnp(), system);
    ASSERT_EQ(dovrel.Install(), 0);
    ASSERT_EQ(dovrel.Start(), kErrorSuccess);
    host::UsbDeviceIdentity identity;
    identity.vendorId = 0x0F1E;
    identity.productId = 0x1614;
    host::DevNode* headset = machine.pnp().PlugIn(identity);

    {
        std::thread scanner([&] {
            for (int i = 0; i < kRounds; ++i)
                dovrel.Scan();
        });
        std::thread controller([&] {
            for (int i = 0; i < kRounds; ++i) {
                dovrel.Control(kUnknownControl);
                dovrel.Control(kInterrogate);
            }
        });
        std::thread observer([&] {
            for (int i = 0; i < kRounds; ++i) {
                dovrel.State();
                dovrel.devices().InstallerCalls();
                system.eventLog().Records();
            }
        });
        host::UserModeWait wait;
        scanner.join();
        controller.join();
        observer.join();
    }

    EXPECT_EQ(headset->Services(), (std::vector<std::string>{"Ampfx", "usbaudio"}));
    EXPECT_EQ(dovrel.devices().InstallerCalls().size(), 2u);
    const std::vector<host::EventRecord> records = system.eventLog().Records();
    EXPECT_EQ(
        std::count_if(records.begin(), records.end(),
                      [](const host::EventRecord& r) { return r.Text() == "Bad service request"; }),
        kRounds);

    // A stop while another thread keeps scanning: the scans end when the loop does.
    std::thread lateScanner([&] {
        while (dovrel.Scan()) {
        }
    });
    EXPECT_EQ(dovrel.Control(128), kErrorSuccess);
    EXPECT_EQ(dovrel.Stop(), kErrorSuccess);
    {
        host::UserModeWait wait;
        lateScanner.join();
    }
    EXPECT_EQ(dovrel.State(), host::kServiceStopped);
    machine.pnp().Unplug(headset);
}

}  // namespace
}  // namespace dovrel
