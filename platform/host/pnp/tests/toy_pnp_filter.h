// A toy Plug and Play filter for the Plug and Play manager's tests (not the product driver):
// it records what happens to it, can fail at each step, and can keep a named control device
// with a "\DosDevices\ToyControl" link, answering buffered requests on it.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace pnptoy {

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kFailCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Behaviour {
    std::atomic<bool> failEntry{false};
    std::atomic<bool> failAddDevice{false};
    std::atomic<bool> failStart{false};
    std::atomic<bool> vetoQueryRemove{false};
    std::atomic<bool> controlDevice{false};
    // On removal, delete the device this long afterwards (a timer, its DPC, then a work item,
    // as IoDeleteDevice belongs at PASSIVE_LEVEL); 0 deletes at once.
    std::atomic<int> deferDeleteMs{0};
};

extern Behaviour g_behaviour;

// "<service>:<what>" for DriverEntry, AddDevice, each Plug and Play request and unload.
std::vector<std::string> Events();
void ClearEvents();
void Reset();

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace pnptoy
