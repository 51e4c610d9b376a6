#include "attachment_scan.h"

#include <stdio.h>

#include <new>
#include <string>

#include "hardware_table.h"
#include "messages.h"
#include "text.h"

namespace dovrel {

AttachmentScan::AttachmentScan(DeviceManager& devices, Registry& registry, DebugOutput& debug)
    : devices_(devices), registry_(registry), debug_(debug) {}

void AttachmentScan::RunOnce() {
    std::unique_ptr<DeviceInfoSet> set;
    if (devices_.GetPresentInterfaceDevices(kKsCategoryAudio, &set) != kErrorSuccess || !set)
        return;
    DeviceInfo device;
    for (uint32_t index = 0; set->EnumDeviceInfo(index, &device) == kErrorSuccess; ++index)
        AttachDevice(*set, device);
}

void AttachmentScan::AttachDevice(DeviceInfoSet& set, DeviceInfo device) {
    RegistryType type = RegistryType::None;
    std::vector<uint8_t> data;
    if (ReadProperty(set, device, DeviceProperty::HardwareId, &type, &data) != Read::Ok)
        return;
    const std::vector<std::string> hardwareIds = SplitMultiString(data.data(), data.size());
    if (hardwareIds.empty() || FindSupportedHardware(hardwareIds[0].c_str()) == nullptr)
        return;

    std::vector<std::string> filters;
    switch (ReadProperty(set, device, DeviceProperty::LowerFilters, &type, &data)) {
        case Read::Ok:
            if (type == RegistryType::MultiSz) {
                filters = SplitMultiString(data.data(), data.size());
            } else if (type == RegistryType::Sz || type == RegistryType::ExpandSz) {
                // Plug and Play loads a single string as a list of one: that filter stays.
                filters = SplitMultiString(data.data(), data.size());
                if (filters.size() > 1)
                    filters.resize(1);
            } else {
                debug_.Write(kDebugNotMultiSz);
            }
            break;
        case Read::Absent:
            break;
        case Read::Failed:
            // Writing a list now could drop filters we were unable to read.
            return;
    }
    if (!filters.empty() && EqualsIgnoreCase(filters[0], kFilterName))
        return;

    // A lower filter without its service key keeps the device from starting at all.
    if (!WriteFilterServiceKey())
        return;
    // Ampfx goes to the head; an instance further down would filter the stream a second
    // time, so it moves rather than being added again. The other filters keep their order.
    std::vector<std::string> list = {kFilterName};
    for (const std::string& filter : filters) {
        if (!EqualsIgnoreCase(filter, kFilterName))
            list.push_back(filter);
    }
    filters.swap(list);
    const std::vector<uint8_t> multi = JoinMultiString(filters);
    if (set.SetDeviceRegistryProperty(device, DeviceProperty::LowerFilters, multi.data(),
                                      static_cast<uint32_t>(multi.size())) != kErrorSuccess)
        return;
    RestartDevice(set, device);
}

// The usual two calls: the first learns the size, the second reads into a buffer of it.
AttachmentScan::Read AttachmentScan::ReadProperty(DeviceInfoSet& set, DeviceInfo device,
                                                  DeviceProperty property, RegistryType* type,
                                                  std::vector<uint8_t>* data) {
    data->clear();
    uint32_t required = 0;
    WinError error = set.GetDeviceRegistryProperty(device, property, type, nullptr, 0, &required);
    if (error == kErrorSuccess)
        return Read::Ok;
    if (error == kErrorInvalidData)
        return Read::Absent;
    if (error != kErrorInsufficientBuffer)
        return Read::Failed;

    try {
        data->resize(required);
    } catch (const std::bad_alloc&) {
        debug_.Write(kDebugNoMemory);
        return Read::Failed;
    }
    uint32_t written = 0;
    error = set.GetDeviceRegistryProperty(device, property, type, data->data(), required, &written);
    if (error != kErrorSuccess) {
        data->clear();
        return error == kErrorInvalidData ? Read::Absent : Read::Failed;
    }
    if (written < required)
        data->resize(written);
    return Read::Ok;
}

bool AttachmentScan::WriteFilterServiceKey() {
    std::unique_ptr<RegistryKey> key;
    if (registry_.CreateKey(RegistryHive::LocalMachine, kFilterServiceKey, &key) != kErrorSuccess)
        return false;
    return key->SetDword("ErrorControl", 1) == kErrorSuccess &&
           key->SetDword("Start", 3) == kErrorSuccess &&
           key->SetDword("Type", 1) == kErrorSuccess &&
           key->SetString("ImagePath", RegistryType::ExpandSz, kFilterImagePath) == kErrorSuccess;
}

void AttachmentScan::RestartDevice(DeviceInfoSet& set, DeviceInfo device) {
    const DeviceStateChange steps[] = {DeviceStateChange::Stop, DeviceStateChange::Start};
    for (DeviceStateChange change : steps) {
        const PropertyChangeParams params = {change, DeviceChangeScope::ConfigSpecific, 0};
        WinError error = set.SetPropertyChangeParams(device, params);
        if (error != kErrorSuccess) {
            ReportFailure(kDebugSetParamsFailed, error);
            return;
        }
        error = set.CallPropertyChangeInstaller(device);
        if (error != kErrorSuccess) {
            ReportFailure(change == DeviceStateChange::Stop ? kDebugStopFailed : kDebugStartFailed,
                          error);
            return;
        }
    }
    DeviceInstallParams installParams;
    const WinError error = set.GetDeviceInstallParams(device, &installParams);
    if (error != kErrorSuccess)
        ReportFailure(kDebugGetParamsFailed, error);
}

void AttachmentScan::ReportFailure(const char* text, WinError error) {
    char tail[32];
    snprintf(tail, sizeof tail, kDebugErrorFormat, static_cast<unsigned>(error));
    debug_.Write(std::string(text) + tail);
}

}  // namespace dovrel
