// The kernel's smaller services: the object namespace, device I/O on file objects, debug
// output, the reported Windows version and pool fault injection.
#include <functional>

#include <gtest/gtest.h>

#include "toy_drivers.h"

namespace {

using host::kernel::RequestResult;

class ServicesTest : public toy::KernelTest {};

UNICODE_STRING Name(const char16_t* text) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(text));
    return name;
}

TEST_F(ServicesTest, NamesAndLinksCollideAndResolveWithoutRegardToCase) {
    PDRIVER_OBJECT bus = toy::LoadBus();
    ASSERT_NE(toy::CreateBusDevice(bus, reinterpret_cast<PCWSTR>(u"\\Device\\Toy0"),
                                   toy::BusBehavior::Complete),
              nullptr);
    PDEVICE_OBJECT second = nullptr;
    UNICODE_STRING same = Name(u"\\Device\\TOY0");
    EXPECT_EQ(IoCreateDevice(bus, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    UNICODE_STRING link = Name(u"\\DosDevices\\Toy");
    UNICODE_STRING target = Name(u"\\Device\\Toy0");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING alias = Name(u"\\??\\TOY");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host::kernel::SymbolicLinkTarget("\\GLOBAL??\\toy"), "\\Device\\Toy0");

    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ServicesTest, FileObjectsReachTheTopOfTheStackThroughLinks) {
    PDEVICE_OBJECT bottom = toy::CreateBusDevice(
        toy::LoadBus(), reinterpret_cast<PCWSTR>(u"\\Device\\Toy0"), toy::BusBehavior::Complete);
    ASSERT_EQ(host::kernel::CallAddDevice(toy::LoadFilter(), bottom), STATUS_SUCCESS);
    toy::g_filterMode = toy::FilterMode::CopyWithRoutine;
    UNICODE_STRING link = Name(u"\\DosDevices\\Toy");
    UNICODE_STRING target = Name(u"\\Device\\Toy0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(host::kernel::OpenDevice("\\??\\Missing", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(host::kernel::OpenDevice("\\??\\toy\\tail", &file), STATUS_SUCCESS);
    EXPECT_EQ(bottom->ReferenceCount, 1);
    EXPECT_EQ(toy::g_completionCalls, 1) << "the create went through the filter";

    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
    UCHAR input[2] = {10, 20};
    UCHAR output[8] = {};
    RequestResult result =
        host::kernel::DeviceControl(file, code, input, sizeof(input), output, sizeof(output));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
    EXPECT_EQ(output[1], 21);

    host::kernel::CloseDevice(file);
    EXPECT_EQ(bottom->ReferenceCount, 0);
    EXPECT_EQ(toy::g_completionCalls, 4) << "create, device control, cleanup and close";
}

TEST_F(ServicesTest, DebugOutputFollowsWindowsFormatting) {
    UNICODE_STRING name = Name(u"Ampfx");
    struct Case {
        const char* expected;
        std::function<void()> print;
    } cases[] = {
        {"AMPFX AddDevice\n", [] { DbgPrint("AMPFX AddDevice\n"); }},
        {"4294967295 -1", [] { DbgPrint("%lu %ld", ULONG{0xFFFFFFFF}, LONG{-1}); }},
        {"ff 0x00C0000056",
         [] { DbgPrint("%x 0x%010X", 255u, static_cast<ULONG>(STATUS_DELETE_PENDING)); }},
        {"wide Ampfx", [] { DbgPrint("wide %ws", reinterpret_cast<PCWSTR>(u"Ampfx")); }},
        {"[Ampfx]", [&name] { DbgPrint("[%wZ]", &name); }},
        {"00000000DEADBEEF", [] { DbgPrint("%p", reinterpret_cast<void*>(0xDEADBEEF)); }},
        {"12345678901", [] { DbgPrint("%I64d", 12345678901LL); }},
        {"[  ab]", [] { DbgPrint("[%4s]", "ab"); }},
    };
    for (const Case& c : cases) {
        host::kernel::ClearDebugOutput();
        c.print();
        EXPECT_EQ(host::kernel::DebugOutput(), c.expected);
    }
    EXPECT_EQ(host::kernel::DebugMessages().size(), 1u);
}

TEST_F(ServicesTest, WdmVersionFollowsTheReportedWindowsVersion) {
    using host::kernel::WindowsVersion;
    struct Case {
        WindowsVersion version;
        bool v6, v120, v110, v105;
    } cases[] = {
        {WindowsVersion::Windows98, false, false, false, false},
        {WindowsVersion::WindowsMe, false, false, false, true},
        {WindowsVersion::Windows2000, false, false, true, true},
        {WindowsVersion::WindowsXP, false, true, true, true},
        {WindowsVersion::WindowsVista, true, true, true, true},
    };
    for (const Case& c : cases) {
        host::kernel::SetWindowsVersion(c.version);
        EXPECT_EQ(IoIsWdmVersionAvailable(6, 0x00) != FALSE, c.v6);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x20) != FALSE, c.v120);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10) != FALSE, c.v110);
        EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x05) != FALSE, c.v105);
        EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00));
    }
}

TEST_F(ServicesTest, TheNthAllocationFails) {
    host::kernel::InjectPoolFault({2, 0, false, false});
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x41414141);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x41414141);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x41414141);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePool(first);
    ExFreePool(third);

    // Counting only one tag, and kernel objects only when asked to.
    host::kernel::InjectPoolFault({1, 0x42424242, false, false});
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x41414141);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x42424242), nullptr);
    EXPECT_NE(other, nullptr);
    ExFreePool(other);

    host::kernel::InjectPoolFault({1, 0, true, true});
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x41414141), nullptr);
    host::kernel::ClearPoolFaults();
    EXPECT_EQ(host::kernel::PoolFaultsTriggered(), 4u);
}

}  // namespace
