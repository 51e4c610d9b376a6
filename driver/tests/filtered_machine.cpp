#include "filtered_machine.h"

namespace ampfx_test {

FilteredMachine::FilteredMachine(host::kernel::WindowsVersion windows)
    : machine_(host::Machine::Options{windows, {}}) {
    machine_.InstallDriver("Ampfx", "Ampfx.sys", DriverEntry);
}

host::DevNode* FilteredMachine::Plug(uint16_t productId, bool filtered,
                                     std::shared_ptr<host::UsbFunction> function,
                                     uint16_t vendorId) {
    host::UsbDeviceIdentity identity;
    identity.vendorId = vendorId;
    identity.productId = productId;
    host::DevNode* node = pnp().PlugIn(identity, std::move(function));
    if (filtered) {
        registry().SetMultiString(node->EnumKey(), "LowerFilters", {"Ampfx"});
        pnp().Restart(node);
    }
    return node;
}

PDEVICE_OBJECT FilteredMachine::FilterDevice(const host::DevNode* node) {
    const std::vector<PDEVICE_OBJECT> stack = node->Stack();
    if (stack.size() < 2)
        return nullptr;
    PDEVICE_OBJECT filter = stack[1];
    return filter->DriverObject == host::kernel::FindDriver("Ampfx") ? filter : nullptr;
}

ControlAnswer SendControl(uint32_t code, const void* input, uint32_t inputLength,
                          uint32_t outputLength) {
    ControlAnswer answer;
    host::UserHandle handle = host::kInvalidUserHandle;
    answer.error = host::UserCreateFile("\\\\.\\Class#UsbAmpfxSuite&0F1E&00", &handle);
    if (answer.error != 0)
        return answer;
    answer.output.assign(outputLength, 0);
    answer.error = host::UserDeviceIoControl(handle, code, input, inputLength,
                                             answer.output.empty() ? nullptr : answer.output.data(),
                                             outputLength, &answer.bytes);
    host::UserCloseHandle(handle);
    return answer;
}

}  // namespace ampfx_test
