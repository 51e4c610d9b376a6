// Every text the service shows, logs or writes to the debug output, and the names it is
// known by, in one place and exactly as users and tools see them.
#pragma once

namespace dovrel {

// The service's name with the service control manager, its display name, the caption of
// its message boxes and its event source.
constexpr char kServiceName[] = "Dovrel";

// The application identity under HKEY_CLASSES_ROOT\AppID.
constexpr char kAppIdKey[] = "AppID\\{C44B2F58-3AB3-419E-BFDB-C76BE2CAE9B4}";
constexpr char kAppIdLocalService[] = "LocalService";
constexpr char kAppIdServiceParameters[] = "ServiceParameters";
constexpr char kServiceParameters[] = "-Service";
constexpr char kServiceDependency[] = "RPCSS";

// The filter driver: its name in the lower-filter lists and its service key.
constexpr char kFilterName[] = "Ampfx";
constexpr char kFilterServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Ampfx";
constexpr char kFilterImagePath[] = "System32\\DRIVERS\\Ampfx.sys";
constexpr char kFilterFileBelowSystem[] = "drivers\\Ampfx.sys";
constexpr char kDeviceInstanceKeyPrefix[] = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_0f1e&Pid_";
constexpr char kDeviceInstanceKeySuffix[] = "&MI_00";

// Message boxes.
constexpr char kMsgCouldNotOpenManager[] = "Couldn't open service manager";
constexpr char kMsgCouldNotCreateService[] = "Couldn't create service";
constexpr char kMsgCouldNotOpenService[] = "Couldn't open service";
constexpr char kMsgCouldNotDeleteService[] = "Service could not be deleted";

// Event log.
constexpr char kEventStarted[] = "Service started";
constexpr char kEventStopped[] = "Service stopped";
constexpr char kEventBadRequest[] = "Bad service request";

// Debug output. The restart texts are followed by " error: %u" and a line end.
constexpr char kDebugSetParamsFailed[] = "in RestartDevice(): couldn't set the install parameters!";
constexpr char kDebugStopFailed[] = "in RestartDevice(): call to class installer (STOP) failed!";
constexpr char kDebugStartFailed[] = "in RestartDevice(): call to class installer (START) failed!";
constexpr char kDebugGetParamsFailed[] =
    "in RestartDevice(): couldn't get the device install params!";
constexpr char kDebugErrorFormat[] = " error: %u\n";
constexpr char kDebugNotMultiSz[] = "in GetUpperFilters(): registry key is not a MULTI_SZ!\n";
constexpr char kDebugNoMemory[] = "in GetDeviceRegistryProperty(): unable to allocate memory!\n";

}  // namespace dovrel
