#include "hardware_table.h"

#include "text.h"

namespace dovrel {

const SupportedHardwareRecord kSupportedHardware[kSupportedHardwareCount + 1] = {
    {0x0F1E, 0x1607, 0x4410, {0, 0}, "USB\\Vid_0f1e&Pid_1607&Rev_0100&MI_00"},
    {0x0F1E, 0x160B, 0x4410, {0, 0}, "USB\\Vid_0f1e&Pid_160b&Rev_0100&MI_00"},
    {0x0F1E, 0x160C, 0x4405, {0, 0}, "USB\\Vid_0f1e&Pid_160c&Rev_0100&MI_00"},
    {0x0F1E, 0x160D, 0x4420, {0, 0}, "USB\\Vid_0f1e&Pid_160d&Rev_0100&MI_00"},
    {0x0F1E, 0x1613, 0x4420, {0, 0}, "USB\\Vid_0f1e&Pid_1613&Rev_0100&MI_00"},
    {0x0F1E, 0x1517, 0x4420, {0, 0}, "USB\\Vid_0f1e&Pid_1517&Rev_0100&MI_00"},
    {0x0F1E, 0x1527, 0x4420, {0, 0}, "USB\\Vid_0f1e&Pid_1527&Rev_0100&MI_00"},
    {0x0F1E, 0x1614, 0x4430, {0, 0}, "USB\\Vid_0f1e&Pid_1614&Rev_0100&MI_00"},
    {0x0F1E, 0x1615, 0x4430, {0, 0}, "USB\\Vid_0f1e&Pid_1615&Rev_0100&MI_00"},
    {0x0F1E, 0x1616, 0x4430, {0, 0}, "USB\\Vid_0f1e&Pid_1616&Rev_0100&MI_00"},
    {0x0F1E, 0x1617, 0x4430, {0, 0}, "USB\\Vid_0f1e&Pid_1617&Rev_0100&MI_00"},
    {0, 0, 0, {0, 0}, ""},
};

const SupportedHardwareRecord* FindSupportedHardware(const char* hardwareId) {
    for (const SupportedHardwareRecord* record = kSupportedHardware; record->vendorId != 0;
         ++record) {
        if (StartsWithIgnoreCase(hardwareId, record->hardwareId))
            return record;
    }
    return nullptr;
}

}  // namespace dovrel
