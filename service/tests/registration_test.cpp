#include <gtest/gtest.h>

#include "command_line.h"
#include "memory_ports.h"
#include "service_program.h"

namespace dovrel {
namespace {

using Strings = std::vector<std::string>;

constexpr char kAppIdKey[] = "AppID\\{C44B2F58-3AB3-419E-BFDB-C76BE2CAE9B4}";

TEST(CommandLineTest, FirstRecognisedSwitchWins) {
    const struct {
        const char* arguments;
        CommandLineAction action;
    } cases[] = {
        {"  /Service", CommandLineAction::Service},
        {"-unregserver", CommandLineAction::UnregServer},
        {"/RegServer extra", CommandLineAction::RegServer},
        {"-SERVICE", CommandLineAction::Service},
        {"/Embedding -Service", CommandLineAction::Service},
        {"x -regserver /service", CommandLineAction::RegServer},
        {"\t/UnregServer\t-Service", CommandLineAction::UnregServer},
        {"", CommandLineAction::Run},
        {"Service", CommandLineAction::Run},
        {"/Services", CommandLineAction::Run},
        {"/Serv", CommandLineAction::Run},
        {"- Service", CommandLineAction::Run},
        {"/", CommandLineAction::Run},
        {"-Unknown /", CommandLineAction::Run},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseCommandLine(c.arguments), c.action) << '"' << c.arguments << '"';
}

class RegistrationTest : public ::testing::Test {
  protected:
    MemoryRegistry::Value AppIdValue(const char* name) const {
        return machine.registry.GetValue(RegistryHive::ClassesRoot, kAppIdKey, name);
    }

    void InstallOldService() {
        MemoryService& old = machine.services.services["dovrel"];
        old.config.serviceName = "Dovrel";
        old.config.binaryPath = "C:\\old\\Dovrel.exe";
        old.state = kServiceRunning;
    }

    MemoryMachine machine;
    DovrelService program{machine.Ports()};
};

TEST_F(RegistrationTest, ServiceSwitchRegistersExactlyTheListedParameters) {
    EXPECT_EQ(program.Main("  /Service"), 0);

    const MemoryService* service = machine.services.Find("Dovrel");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->config.serviceName, "Dovrel");
    EXPECT_EQ(service->config.displayName, "Dovrel");
    EXPECT_EQ(service->config.serviceType, 0x10u);
    EXPECT_EQ(service->config.startType, 2u);
    EXPECT_EQ(service->config.errorControl, 1u);
    EXPECT_EQ(service->config.binaryPath, "C:\\WINDOWS\\system32\\Dovrel.exe");
    EXPECT_EQ(service->config.dependencies, (Strings{"RPCSS"}));

    EXPECT_EQ(AppIdValue("LocalService").type, RegistryType::Sz);
    EXPECT_EQ(AppIdValue("LocalService").text, "Dovrel");
    EXPECT_EQ(AppIdValue("ServiceParameters").type, RegistryType::Sz);
    EXPECT_EQ(AppIdValue("ServiceParameters").text, "-Service");
    EXPECT_EQ(machine.loop.sleeps, (std::vector<uint32_t>{2000}));
    EXPECT_TRUE(machine.messageBoxes.shown.empty());
    EXPECT_EQ(machine.loop.ticks, 0);
}

TEST_F(RegistrationTest, ServiceSwitchReplacesAnInstalledService) {
    InstallOldService();
    EXPECT_EQ(program.Main("/Service"), 0);
    EXPECT_EQ(machine.services.controlsSent, (std::vector<uint32_t>{kServiceControlStop}));
    EXPECT_EQ(machine.services.deletes, 1);
    ASSERT_NE(machine.services.Find("Dovrel"), nullptr);
    EXPECT_EQ(machine.services.Find("Dovrel")->config.binaryPath,
              "C:\\WINDOWS\\system32\\Dovrel.exe");
}

TEST_F(RegistrationTest, ImagePathWithASpaceIsQuoted) {
    machine.files.modulePath = "C:\\Program Files\\Ampfx\\Dovrel.exe";
    EXPECT_EQ(program.Main("/Service"), 0);
    ASSERT_NE(machine.services.Find("Dovrel"), nullptr);
    EXPECT_EQ(machine.services.Find("Dovrel")->config.binaryPath,
              "\"C:\\Program Files\\Ampfx\\Dovrel.exe\"");
}

TEST_F(RegistrationTest, RegServerWritesTheIdentityWithoutLocalServiceAndLeavesServicesAlone) {
    ASSERT_EQ(program.Main("/Service"), 0);
    machine.services.managerAccess.clear();

    EXPECT_EQ(program.Main("/RegServer"), 0);
    EXPECT_EQ(AppIdValue("LocalService").type, RegistryType::None);
    EXPECT_EQ(AppIdValue("ServiceParameters").text, "-Service");
    EXPECT_TRUE(machine.services.managerAccess.empty());
    EXPECT_NE(machine.services.Find("Dovrel"), nullptr);
}

TEST_F(RegistrationTest, UnregServerStopsAndDeletesTheService) {
    InstallOldService();
    EXPECT_EQ(program.Main("-UnregServer"), 0);
    EXPECT_EQ(machine.services.controlsSent, (std::vector<uint32_t>{kServiceControlStop}));
    EXPECT_EQ(machine.services.Find("Dovrel"), nullptr);
    EXPECT_TRUE(machine.loop.sleeps.empty());

    // Nothing installed: nothing to do, and no complaint.
    EXPECT_EQ(program.Main("-UnregServer"), 0);
    EXPECT_EQ(machine.services.deletes, 1);
    EXPECT_TRUE(machine.messageBoxes.shown.empty());
}

TEST_F(RegistrationTest, FailuresShowTheirMessageAndFailTheExitCode) {
    struct Case {
        const char* arguments;
        bool installed;
        void (*arrange)(MemoryServiceManager&);
        Strings messages;
    };
    const Case cases[] = {
        {"/Service",
         false,
         [](MemoryServiceManager& m) { m.openManagerError = 5; },
         {"Couldn't open service manager"}},
        {"/Service",
         false,
         [](MemoryServiceManager& m) { m.createError = 5; },
         {"Couldn't create service"}},
        {"/UnregServer",
         true,
         [](MemoryServiceManager& m) {
             m.openManagerResults = {0, 5};
         },
         {"Couldn't open service manager"}},
        {"/UnregServer",
         true,
         [](MemoryServiceManager& m) { m.deniedServiceAccess = kDelete; },
         {"Couldn't open service"}},
        {"/UnregServer",
         true,
         [](MemoryServiceManager& m) { m.deleteError = 5; },
         {"Service could not be deleted"}},
        // The old service stays; the identity is still written and nothing is created.
        {"/Service",
         true,
         [](MemoryServiceManager& m) { m.deleteError = 5; },
         {"Service could not be deleted"}},
        // The old service takes longer to stop than the wait: it is only marked for deletion
        // and will vanish, taking the registration with it.
        {"/Service",
         true,
         [](MemoryServiceManager& m) { m.slowStop = true; },
         {"Couldn't create service"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.arguments) + " -> " + c.messages[0]);
        MemoryMachine m;
        if (c.installed) {
            MemoryService& old = m.services.services["dovrel"];
            old.config.serviceName = "Dovrel";
            old.state = kServiceRunning;
        }
        c.arrange(m.services);
        DovrelService p(m.Ports());
        EXPECT_EQ(p.Main(c.arguments), 1);
        EXPECT_EQ(m.messageBoxes.Texts(), c.messages);
        for (const MemoryMessageBoxes::Box& box : m.messageBoxes.shown)
            EXPECT_EQ(box.caption, "Dovrel");
    }

    MemoryMachine m;
    MemoryService& old = m.services.services["dovrel"];
    old.config.serviceName = "Dovrel";
    old.config.binaryPath = "C:\\old\\Dovrel.exe";
    m.services.deleteError = 5;
    DovrelService(m.Ports()).Main("/Service");
    EXPECT_EQ(m.registry.GetValue(RegistryHive::ClassesRoot, kAppIdKey, "LocalService").text,
              "Dovrel");
    EXPECT_EQ(m.services.Find("Dovrel")->config.binaryPath, "C:\\old\\Dovrel.exe");
}

}  // namespace
}  // namespace dovrel
