// Violation reports: recorded for a test that captures them, otherwise the end of the process
// with a message naming the rule, the driver and what it was doing.
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

#include "internal.h"

namespace host::kernel {
namespace {

struct VerifierState {
    std::mutex mutex;
    int captures = 0;
    std::vector<VerifierReport> reports;
};

VerifierState& State() {
    static VerifierState* state = new VerifierState();
    return *state;
}

}  // namespace

const char* ViolationName(Violation violation) {
    switch (violation) {
        case Violation::WaitAtRaisedIrql:
            return "WaitAtRaisedIrql";
        case Violation::IrqlTooHigh:
            return "IrqlTooHigh";
        case Violation::IrqlNotRestored:
            return "IrqlNotRestored";
        case Violation::IrpDoubleCompletion:
            return "IrpDoubleCompletion";
        case Violation::IrpNotOwned:
            return "IrpNotOwned";
        case Violation::IrpFreed:
            return "IrpFreed";
        case Violation::IrpLeaked:
            return "IrpLeaked";
        case Violation::IrpBadCompletion:
            return "IrpBadCompletion";
        case Violation::IrpStackOverflow:
            return "IrpStackOverflow";
        case Violation::RequestToDeletedDevice:
            return "RequestToDeletedDevice";
        case Violation::DeviceMisuse:
            return "DeviceMisuse";
        case Violation::PoolLeakAtUnload:
            return "PoolLeakAtUnload";
        case Violation::PoolMisuse:
            return "PoolMisuse";
        case Violation::PendingOperationsAtUnload:
            return "PendingOperationsAtUnload";
        case Violation::WorkItemMisuse:
            return "WorkItemMisuse";
        case Violation::InvalidObject:
            return "InvalidObject";
        case Violation::Deadlock:
            return "Deadlock";
        case Violation::FloatingPointMisuse:
            return "FloatingPointMisuse";
        case Violation::CodeRunningAtUnload:
            return "CodeRunningAtUnload";
    }
    return "Unknown";
}

VerifierCapture::VerifierCapture() {
    VerifierState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.captures++ == 0) {
        state.reports.clear();
    }
}

VerifierCapture::~VerifierCapture() {
    VerifierState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (--state.captures == 0) {
        state.reports.clear();
    }
}

std::vector<VerifierReport> VerifierCapture::Reports() const {
    VerifierState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.reports;
}

std::vector<VerifierReport> VerifierCapture::Take() {
    VerifierState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<VerifierReport> taken;
    taken.swap(state.reports);
    return taken;
}

size_t VerifierCapture::Count(Violation violation) const {
    size_t count = 0;
    for (const VerifierReport& report : Reports()) {
        if (report.violation == violation) {
            ++count;
        }
    }
    return count;
}

namespace detail {

void Report(Violation violation, const std::string& message) {
    VerifierState& state = State();
    std::string context;
    if (const Frame* frame = CurrentFrame()) {
        context = " [in " + DescribeFrame(*frame) + "]";
    }
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.captures > 0) {
            state.reports.push_back(VerifierReport{violation, message + context});
            return;
        }
    }
    fprintf(stderr, "\n*** Ampfx host kernel verifier: %s\n*** %s%s\n", ViolationName(violation),
            message.c_str(), context.c_str());
    fflush(stderr);
    abort();
}

}  // namespace detail
}  // namespace host::kernel
