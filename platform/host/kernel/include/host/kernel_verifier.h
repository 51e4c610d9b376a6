// The simulated kernel's verifier. Like Driver Verifier it checks every driver call against
// the rules of the driver model; unlike it, a violation does not stop the machine with a bug
// check but, by default, ends the process with a message naming the rule and the driver. A
// test that provokes violations on purpose captures them instead and asserts on them.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace host::kernel {

enum class Violation {
    WaitAtRaisedIrql,           // a wait with a timeout above APC_LEVEL, or any non-polling
                                // wait at DISPATCH_LEVEL or above
    IrqlTooHigh,                // a routine called above the IRQL its documentation allows, or
                                // a raise to a lower or a lower to a higher IRQL
    IrqlNotRestored,            // a driver routine returned at another IRQL than it was called
    IrpDoubleCompletion,        // IoCompleteRequest on an IRP that is completing or completed
    IrpNotOwned,                // completing or freeing an IRP that a lower driver still owns
    IrpFreed,                   // any use of an IRP after IoFreeIrp (or of a non-IRP)
    IrpLeaked,                  // an IRP never completed or never freed
    IrpBadCompletion,           // completion with STATUS_PENDING or a cancel routine still
                                // set, STATUS_PENDING returned without IoMarkIrpPending (or
                                // the reverse), an IRP reaching the top unclaimed, more bytes
                                // reported than the output buffer holds
    IrpStackOverflow,           // IoCallDriver with no stack location left
    RequestToDeletedDevice,     // IoCallDriver to a device object after IoDeleteDevice
    DeviceMisuse,               // IoDeleteDevice twice, on a device still attached to a lower
                                // one, detaching an unattached device
    PoolLeakAtUnload,           // pool of a driver still allocated when it unloads
    PoolMisuse,                 // freeing an unknown block, twice, or with another tag
    PendingOperationsAtUnload,  // a timer still set or a DPC still queued when its driver
                                // unloads
    WorkItemMisuse,             // freeing a queued work item, queueing one twice
    InvalidObject,              // waiting on or signalling something that is not an
                                // initialised dispatcher object
    Deadlock,                   // every kernel thread blocked with nothing left to wake them
    FloatingPointMisuse,        // a floating-point save restored out of order or never, or
                                // a driver routine returning with its save still in place
    CodeRunningAtUnload,        // a driver unloaded while one of its routines still runs
};

const char* ViolationName(Violation violation);

struct VerifierReport {
    Violation violation;
    std::string message;
};

// While one of these lives, violations are recorded (and the kernel carries on as safely as
// it can) instead of ending the process.
class VerifierCapture {
  public:
    VerifierCapture();
    ~VerifierCapture();
    VerifierCapture(const VerifierCapture&) = delete;
    VerifierCapture& operator=(const VerifierCapture&) = delete;

    std::vector<VerifierReport> Reports() const;
    std::vector<VerifierReport> Take();
    size_t Count(Violation violation) const;
    bool Empty() const { return Reports().empty(); }
};

}  // namespace host::kernel
