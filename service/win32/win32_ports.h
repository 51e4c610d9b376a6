// The service's ports over Win32. Only the Windows builds compile this folder.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <string>

#include "ports.h"
#include "utf8_text.h"

namespace dovrel {

using win32text::Narrow;
using win32text::Widen;

class Win32DeviceManager : public DeviceManager {
  public:
    WinError GetPresentInterfaceDevices(const Guid& interfaceClass,
                                        std::unique_ptr<DeviceInfoSet>* set) override;
};

class Win32Registry : public Registry {
  public:
    WinError CreateKey(RegistryHive hive, const std::string& path,
                       std::unique_ptr<RegistryKey>* key) override;
    WinError OpenKey(RegistryHive hive, const std::string& path,
                     std::unique_ptr<RegistryKey>* key) override;
    WinError DeleteTree(RegistryHive hive, const std::string& path) override;
};

class Win32ServiceManager : public ServiceManager {
  public:
    WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override;
};

// One per process: the service control manager runs one own-process service in it.
class Win32ServiceDispatcher : public ServiceDispatcher {
  public:
    WinError Run(const std::string& name, ServiceCallbacks* callbacks) override;
    WinError SetStatus(const ServiceStatus& status) override;

  private:
    static void WINAPI ServiceMainThunk(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI HandlerThunk(DWORD control, DWORD eventType, LPVOID eventData,
                                     LPVOID context);

    static Win32ServiceDispatcher* running_;
    std::wstring name_;
    ServiceCallbacks* callbacks_ = nullptr;
    std::atomic<SERVICE_STATUS_HANDLE> statusHandle_{nullptr};
};

class Win32EventLog : public EventLog {
  public:
    void Report(const std::string& source, EventType type, const std::string& text) override;
};

class Win32DebugOutput : public DebugOutput {
  public:
    void Write(const std::string& text) override;
};

class Win32MessageBoxes : public MessageBoxes {
  public:
    void Show(const std::string& text, const std::string& caption) override;
};

// The message loop of whichever thread calls Run; one Run at a time per process, since a
// thread timer's callback carries no context of its own.
class Win32MessageLoop : public MessageLoop {
  public:
    Win32MessageLoop();
    ~Win32MessageLoop() override;
    Win32MessageLoop(const Win32MessageLoop&) = delete;
    Win32MessageLoop& operator=(const Win32MessageLoop&) = delete;

    WinError Run(uint32_t periodMs, const std::function<void()>& onTick) override;
    void Post(std::function<void()> work) override;
    void PostQuit() override;
    void Sleep(uint32_t milliseconds) override;

  private:
    static void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);
    void RunPostedWork();

    static Win32MessageLoop* running_;
    const std::function<void()>* onTick_ = nullptr;
    CRITICAL_SECTION lock_;
    DWORD threadId_ = 0;  // of the running loop; 0 before and after
    bool quitBeforeRun_ = false;
    std::deque<std::function<void()>> work_;
};

class Win32SystemFiles : public SystemFiles {
  public:
    WinError SystemDirectory(std::string* path) override;
    WinError ModulePath(std::string* path) override;
    WinError RemoveFile(const std::string& path) override;
};

}  // namespace dovrel
