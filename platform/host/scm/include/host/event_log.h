// The event log of the simulated machine: what RegisterEventSource, ReportEvent and
// DeregisterEventSource do, recorded in the "Application" log for the simulator and the tests
// to read. As on Windows, a source need not be registered under the EventLog service's key to
// report; its events then carry only their insertion strings.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// EVENTLOG_* event types.
constexpr uint16_t kEventLogSuccess = 0x0000;
constexpr uint16_t kEventLogErrorType = 0x0001;
constexpr uint16_t kEventLogWarningType = 0x0002;
constexpr uint16_t kEventLogInformationType = 0x0004;
constexpr uint16_t kEventLogAuditSuccess = 0x0008;
constexpr uint16_t kEventLogAuditFailure = 0x0010;

using EventSourceHandle = uint64_t;

struct EventRecord {
    uint32_t recordNumber = 0;  // from 1, in the order reported
    std::string source;
    uint16_t type = 0;
    uint16_t category = 0;
    uint32_t eventId = 0;
    std::vector<std::string> strings;

    // The insertion strings joined by line ends: what an event viewer shows for a source
    // without a message file.
    std::string Text() const;
};

class EventLog {
  public:
    EventLog() = default;
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // kErrorInvalidParameter for an empty source name.
    uint32_t RegisterEventSource(std::string_view source, EventSourceHandle* handle);
    // kErrorInvalidHandle for a handle not registered (or deregistered); kErrorInvalidParameter
    // for an unknown event type.
    uint32_t ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category,
                         uint32_t eventId, const std::vector<std::string>& strings);
    uint32_t DeregisterEventSource(EventSourceHandle handle);

    std::vector<EventRecord> Records() const;
    void Clear();

  private:
    mutable std::mutex mutex_;
    std::map<EventSourceHandle, std::string> sources_;
    std::vector<EventRecord> records_;
    EventSourceHandle nextHandle_ = 0x40;
};

}  // namespace host
