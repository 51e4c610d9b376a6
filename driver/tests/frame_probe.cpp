// Built only by the stack-frame test, which expects the build to fail: a routine with a
// two-kilobyte local buffer is more than driver code may put on a kernel stack.
#include <stddef.h>

void FrameProbeConsume(char* buffer, size_t size);

void FrameProbe() {
    char buffer[2048];
    FrameProbeConsume(buffer, sizeof buffer);
}
