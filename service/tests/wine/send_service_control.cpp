// send_service_control NAME CODE: sends one control code to a running service, as the
// uninstaller sends code 128. Exit code 0 when the service took it, otherwise the Win32
// error. Wine's own sc.exe has no "control" command.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3)
        return ERROR_INVALID_PARAMETER;
    const DWORD code = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 0));
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return static_cast<int>(GetLastError());
    const SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_ALL_ACCESS);
    DWORD result = ERROR_SUCCESS;
    if (service == nullptr) {
        result = GetLastError();
    } else {
        SERVICE_STATUS status = {};
        if (!ControlService(service, code, &status))
            result = GetLastError();
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return static_cast<int>(result);
}
