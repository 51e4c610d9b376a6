// Discovery's Windows side. DirectSound's enumeration hands out a device GUID; the device's
// description and interface path come from DirectSound's own device property set, asked
// through the IKsPropertySet of its private class object.
#include "discovery_win32.h"

#include <dsconf.h>
#include <dsound.h>
#include <mmsystem.h>

#include <vector>

#include "panel_system_win32.h"

namespace {

// GUID_DEVINTERFACE_USB_HUB.
constexpr GUID kHubInterface = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
constexpr GUID kDirectSoundPrivate = {
    0x11AB3EC0, 0x25EC, 0x11D1, {0xA4, 0xD8, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};
constexpr GUID kDirectSoundDeviceProperties = {
    0x84624F82, 0x25EC, 0x11D1, {0xA4, 0xD8, 0x00, 0xC0, 0x4F, 0xC2, 0x8A, 0xCA}};
constexpr GUID kIKsPropertySet = {
    0x31EFAC30, 0x515C, 0x11D0, {0xA9, 0xAA, 0x00, 0xAA, 0x00, 0x61, 0xBE, 0x93}};
constexpr GUID kIClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr DWORD kPathLimit = 256;

// The detail record's fixed part: 6 bytes on 32-bit Windows, 8 on 64-bit, where SetupDi
// refuses any other size.
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
static_assert(sizeof(void*) == 8 ? kDetailFixedSize == 8 : kDetailFixedSize == 6,
              "SetupDi detail record size");

// DirectSound's private property set, opened once per enumeration.
class DeviceProperties {
  public:
    DeviceProperties() {
        library_ = LoadLibraryW(L"dsound.dll");
        if (library_ == nullptr)
            return;
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        const auto get = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(library_, "DllGetClassObject")));
        IClassFactory* factory = nullptr;
        if (get == nullptr ||
            FAILED(get(kDirectSoundPrivate, kIClassFactory, reinterpret_cast<void**>(&factory))) ||
            factory == nullptr)
            return;
        factory->CreateInstance(nullptr, kIKsPropertySet, reinterpret_cast<void**>(&set_));
        factory->Release();
    }
    ~DeviceProperties() {
        if (set_ != nullptr)
            set_->Release();
        if (library_ != nullptr)
            FreeLibrary(library_);
    }
    bool Describe(const GUID& device, bool capture, DiscoveryPorts::SoundDevice* out) {
        if (set_ == nullptr)
            return false;
        DSPROPERTY_DIRECTSOUNDDEVICE_DESCRIPTION_W_DATA data = {};
        data.DeviceId = device;
        data.DataFlow =
            capture ? DIRECTSOUNDDEVICE_DATAFLOW_CAPTURE : DIRECTSOUNDDEVICE_DATAFLOW_RENDER;
        ULONG returned = 0;
        if (FAILED(set_->Get(kDirectSoundDeviceProperties,
                             DSPROPERTY_DIRECTSOUNDDEVICE_DESCRIPTION_W, nullptr, 0, &data,
                             sizeof data, &returned)))
            return false;
        out->description = FromWide(data.Description);
        out->interfacePath = FromWide(data.Interface);
        return true;
    }

  private:
    HMODULE library_ = nullptr;
    IKsPropertySet* set_ = nullptr;
};

struct EnumerationContext {
    bool capture;
    DeviceProperties* properties;
    const std::function<void(const DiscoveryPorts::SoundDevice*)>* callback;
};

BOOL CALLBACK OneSoundDevice(LPGUID guid, LPCWSTR description, LPCWSTR, LPVOID context) {
    auto* enumeration = static_cast<EnumerationContext*>(context);
    if (guid == nullptr) {
        (*enumeration->callback)(nullptr);  // the default device's entry
        return TRUE;
    }
    DiscoveryPorts::SoundDevice device;
    if (!enumeration->properties->Describe(*guid, enumeration->capture, &device)) {
        // Without the property set the device still shows its name; with no interface path
        // it can never be taken for the headset.
        device.description = FromWide(description);
        device.interfacePath.clear();
    }
    (*enumeration->callback)(&device);
    return TRUE;
}

}  // namespace

Win32DiscoveryPorts::~Win32DiscoveryPorts() {
    CloseHubInterfaces();
}

bool Win32DiscoveryPorts::OpenHubInterfaces() {
    CloseHubInterfaces();
    hubs_ = SetupDiGetClassDevsW(&kHubInterface, nullptr, nullptr,
                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return hubs_ != INVALID_HANDLE_VALUE;
}

int Win32DiscoveryPorts::HubInterfacePath(uint32_t index, std::u16string* path) {
    if (hubs_ == INVALID_HANDLE_VALUE)
        return -1;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(hubs_, nullptr, &kHubInterface, index, &interfaceData))
        return -1;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(hubs_, &interfaceData, nullptr, 0, &required, nullptr);
    // Room for the paths the panel has always expected, more when the query asks for it.
    const DWORD size = required > kPathLimit ? required : kPathLimit;
    std::vector<uint8_t> buffer(size + sizeof(wchar_t), 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = kDetailFixedSize;
    if (!SetupDiGetDeviceInterfaceDetailW(hubs_, &interfaceData, detail, size, nullptr, nullptr))
        return 0;
    *path = FromWide(detail->DevicePath);
    return 1;
}

void Win32DiscoveryPorts::CloseHubInterfaces() {
    if (hubs_ != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(hubs_);
    hubs_ = INVALID_HANDLE_VALUE;
}

DiscoveryPorts::Handle Win32DiscoveryPorts::OpenHub(const std::u16string& path) {
    HANDLE hub =
        CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    return hub == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(hub);
}

bool Win32DiscoveryPorts::HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) {
    DWORD returned = 0;
    return DeviceIoControl(reinterpret_cast<HANDLE>(hub), code, buffer, size, buffer, size,
                           &returned, nullptr) != FALSE;
}

void Win32DiscoveryPorts::CloseHub(Handle hub) {
    CloseHandle(reinterpret_cast<HANDLE>(hub));
}

void Win32DiscoveryPorts::EnumerateSoundDevices(
    bool capture, const std::function<void(const SoundDevice*)>& callback) {
    DeviceProperties properties;
    EnumerationContext context{capture, &properties, &callback};
    if (capture)
        DirectSoundCaptureEnumerateW(OneSoundDevice, &context);
    else
        DirectSoundEnumerateW(OneSoundDevice, &context);
}

bool Win32DiscoveryPorts::WaveOutName(std::u16string* name) {
    WAVEOUTCAPSW caps = {};
    if (waveOutGetDevCapsW(0, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return false;
    *name = FromWide(caps.szPname);
    return true;
}

bool Win32DiscoveryPorts::WaveInName(std::u16string* name) {
    WAVEINCAPSW caps = {};
    if (waveInGetDevCapsW(0, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return false;
    *name = FromWide(caps.szPname);
    return true;
}
