#include "host/event_log.h"

#include "host/win32_error.h"

namespace host {

std::string EventRecord::Text() const {
    std::string text;
    for (size_t i = 0; i < strings.size(); ++i) {
        if (i != 0) {
            text += "\r\n";
        }
        text += strings[i];
    }
    return text;
}

uint32_t EventLog::RegisterEventSource(std::string_view source, EventSourceHandle* handle) {
    if (source.empty()) {
        return kErrorInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *handle = nextHandle_;
    nextHandle_ += 4;
    sources_[*handle] = std::string(source);
    return kErrorSuccess;
}

uint32_t EventLog::ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category,
                               uint32_t eventId, const std::vector<std::string>& strings) {
    switch (type) {
        case kEventLogSuccess:
        case kEventLogErrorType:
        case kEventLogWarningType:
        case kEventLogInformationType:
        case kEventLogAuditSuccess:
        case kEventLogAuditFailure:
            break;
        default:
            return kErrorInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto source = sources_.find(handle);
    if (source == sources_.end()) {
        return kErrorInvalidHandle;
    }
    EventRecord record;
    record.recordNumber = static_cast<uint32_t>(records_.size()) + 1;
    record.source = source->second;
    record.type = type;
    record.category = category;
    record.eventId = eventId;
    record.strings = strings;
    records_.push_back(std::move(record));
    return kErrorSuccess;
}

uint32_t EventLog::DeregisterEventSource(EventSourceHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_.erase(handle) != 0 ? kErrorSuccess : kErrorInvalidHandle;
}

std::vector<EventRecord> EventLog::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void EventLog::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

}  // namespace host
