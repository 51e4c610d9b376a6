// The control protocol in words: request names and arguments parsed into request blocks,
// answers printed as `name=value` lines. Shared by ampfxctl and the scenario runner.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct ControlRequestText {
    uint32_t code = 0;
    std::vector<uint8_t> input;  // the block as sent
    uint32_t outputLength = 0;   // the output buffer offered to the driver
};

// Parses `NAME get|set ARGS...` (NAME: eq-band, eq-band-raw, eq-enable, drc, noise-clean,
// sound-field, speaker51, virtual71, convert) or `raw CODE IN-HEX OUT-LENGTH`. Returns false
// with a reason in `error`.
bool ParseControlRequest(const std::vector<std::string>& words, ControlRequestText* request,
                         std::string* error);

// Usage lines for the request words.
const char* ControlRequestUsage();

// "status=0x........ bytes=N" and, for a known request whose answer holds a whole block,
// its fields one per line as name=value (floats with 9 significant digits). For a raw
// request the returned bytes are printed as hex.
std::string FormatControlAnswer(const ControlRequestText& request, uint32_t status,
                                const std::vector<uint8_t>& output, uint32_t bytesReturned);

// Floats as the tools print them: 9 significant digits, enough to round-trip a float.
std::string FormatFloat(float value);
