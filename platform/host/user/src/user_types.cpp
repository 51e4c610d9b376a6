#include "host/user_types.h"

#include <stdio.h>
#include <string.h>

namespace host::user {
namespace {

thread_local uint32_t t_lastError = 0;

}  // namespace

uint32_t GetLastError() {
    return t_lastError;
}

void SetLastError(uint32_t error) {
    t_lastError = error;
}

bool Guid::operator==(const Guid& other) const {
    return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
           memcmp(data4, other.data4, sizeof(data4)) == 0;
}

std::string Guid::Text() const {
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", data1, data2,
             data3, data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return text;
}

const Guid kKsCategoryAudioGuid = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const Guid kUsbHubGuid = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

}  // namespace host::user
