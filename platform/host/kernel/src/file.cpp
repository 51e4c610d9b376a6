// File objects: the I/O manager's side of a user-mode handle to a device. Opening resolves the
// name, references the named device and sends IRP_MJ_CREATE to the top of its stack; device
// control builds the request with the buffering its method asks for; closing sends cleanup and
// close and drops the reference, which may complete a pending device deletion.
#include <string.h>

#include <algorithm>

#include "host/text.h"
#include "internal.h"

namespace host::kernel::detail {
namespace {

struct FileRecord {
    DEVICE_OBJECT* device;
    std::u16string fileName;
};

struct FileTable {
    std::mutex mutex;
    std::unordered_map<FILE_OBJECT*, FileRecord> files;
};

FileTable& Files() {
    static FileTable* table = new FileTable();
    return *table;
}

// The I/O manager reads a device's flags without a lock, as Windows does, while the driver may
// still be clearing DO_DEVICE_INITIALIZING on another processor; the read is left out of
// ThreadSanitizer's view so that this benign race is not blamed on the driver.
__attribute__((no_sanitize("thread"))) ULONG RacyFlags(const DEVICE_OBJECT* device) {
    return *static_cast<const volatile ULONG*>(&device->Flags);
}

size_t OpenCount(DEVICE_OBJECT* device) {
    FileTable& table = Files();
    std::lock_guard<std::mutex> lock(table.mutex);
    return static_cast<size_t>(
        std::count_if(table.files.begin(), table.files.end(),
                      [device](const auto& entry) { return entry.second.device == device; }));
}

// Sends a request on an open file to the top of its device's stack and waits for it.
RequestResult SendOnFile(FILE_OBJECT* file, IO_STACK_LOCATION location, ULONG flags,
                         PVOID systemBuffer, PVOID userBuffer, PMDL mdl) {
    DEVICE_OBJECT* top = IoGetAttachedDevice(file->DeviceObject);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IRP* irp = AllocateSystemIrp(top->StackSize, &done);
    if (irp == nullptr) {
        return RequestResult{STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->Flags = flags;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->UserBuffer = userBuffer;
    irp->MdlAddress = mdl;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&Self());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    *next = location;
    next->FileObject = file;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
    return SendAndWait(top, irp, &done);
}

}  // namespace

void FileObjectsReset() {
    FileTable& table = Files();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& entry : table.files) {
        delete entry.first;
    }
    table.files.clear();
}

}  // namespace host::kernel::detail

namespace host::kernel {

using namespace detail;

NTSTATUS OpenDevice(std::string_view ntPath, PFILE_OBJECT* file) {
    *file = nullptr;
    if (!CheckIrql(PASSIVE_LEVEL, "OpenDevice")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ObjectManager& om = ObjectManager::Get();
    DEVICE_OBJECT* device = nullptr;
    std::string remainder;
    {
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        device = ResolveDevicePath(ntPath, &remainder);
        if (device == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        DeviceInfo* info = om.FindDevice(device);
        if (info == nullptr || info->deletePending) {
            return STATUS_DELETE_PENDING;
        }
        const ULONG flags = RacyFlags(device);
        if ((flags & DO_DEVICE_INITIALIZING) != 0) {
            return STATUS_NO_SUCH_DEVICE;
        }
        if ((flags & DO_EXCLUSIVE) != 0 && OpenCount(device) != 0) {
            return STATUS_ACCESS_DENIED;
        }
        // The device's DACL is checked against the caller's token for an open of the device
        // itself; for a name below it ("\\.\Device\sub") only when the device was created with
        // FILE_DEVICE_SECURE_OPEN, otherwise the driver alone would decide, as on Windows.
        const bool checked =
            remainder.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0;
        if (checked && !CallerMayOpen(device, GENERIC_READ | GENERIC_WRITE)) {
            return STATUS_ACCESS_DENIED;
        }
        ++device->ReferenceCount;
    }

    auto* fileObject = new FILE_OBJECT();
    fileObject->Type = IO_TYPE_FILE;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = device;
    fileObject->ReadAccess = TRUE;
    fileObject->WriteAccess = TRUE;
    fileObject->SharedRead = TRUE;
    fileObject->SharedWrite = TRUE;
    KeInitializeEvent(&fileObject->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&fileObject->Event, NotificationEvent, FALSE);
    {
        FileTable& table = Files();
        std::lock_guard<std::mutex> lock(table.mutex);
        FileRecord& record = table.files[fileObject];
        record.device = device;
        record.fileName = Utf8ToUtf16(remainder);
        if (!record.fileName.empty()) {
            fileObject->FileName.Buffer = reinterpret_cast<PWCH>(&record.fileName[0]);
            fileObject->FileName.Length =
                static_cast<USHORT>(record.fileName.size() * sizeof(WCHAR));
            fileObject->FileName.MaximumLength = fileObject->FileName.Length;
        }
    }

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE);
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_CREATE;
    location.Parameters.Create.SecurityContext = &security;
    location.Parameters.Create.Options = 1u << 24;  // FILE_OPEN
    location.Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const RequestResult result =
        SendOnFile(fileObject, location, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API, nullptr,
                   nullptr, nullptr);
    if (!NT_SUCCESS(result.status)) {
        {
            FileTable& table = Files();
            std::lock_guard<std::mutex> lock(table.mutex);
            table.files.erase(fileObject);
        }
        delete fileObject;
        ObfDereferenceObject(device);
        return result.status;
    }
    *file = fileObject;
    return STATUS_SUCCESS;
}

void CloseDevice(PFILE_OBJECT file) {
    CheckIrql(PASSIVE_LEVEL, "CloseDevice");
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_CLEANUP;
    SendOnFile(file, location, IRP_SYNCHRONOUS_API, nullptr, nullptr, nullptr);
    location.MajorFunction = IRP_MJ_CLOSE;
    SendOnFile(file, location, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, nullptr, nullptr,
               nullptr);
    DEVICE_OBJECT* device = file->DeviceObject;
    {
        FileTable& table = Files();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.files.erase(file);
    }
    delete file;
    ObfDereferenceObject(device);
}

RequestResult DeviceControl(PFILE_OBJECT file, ULONG ioControlCode, const void* input,
                            ULONG inputLength, void* output, ULONG outputLength) {
    CheckIrql(PASSIVE_LEVEL, "DeviceControl");
    IO_STACK_LOCATION location{};
    location.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    location.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    location.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    location.Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    if (method == METHOD_NEITHER) {
        location.Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        return SendOnFile(file, location, IRP_SYNCHRONOUS_API, nullptr, output, nullptr);
    }

    // The system buffer: input and output share it for METHOD_BUFFERED; the direct methods
    // buffer only the input and describe the output with an MDL.
    const ULONG systemLength =
        method == METHOD_BUFFERED ? std::max(inputLength, outputLength) : inputLength;
    void* system = nullptr;
    if (systemLength != 0) {
        system = PoolAllocate(NonPagedPool, systemLength, 0x20206F49 /* 'Io  ' */, true, nullptr,
                              "DeviceIoControl");
        if (system == nullptr) {
            return RequestResult{STATUS_INSUFFICIENT_RESOURCES, 0};
        }
        if (inputLength != 0) {
            memcpy(system, input, inputLength);
        }
    }
    ULONG flags =
        IRP_SYNCHRONOUS_API | (system != nullptr ? IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER : 0);
    MDL mdl{};
    PMDL outputMdl = nullptr;
    if (method == METHOD_BUFFERED) {
        if (outputLength != 0) {
            flags |= IRP_INPUT_OPERATION;
        }
    } else if (outputLength != 0) {
        mdl.Size = sizeof(MDL);
        mdl.MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
        mdl.StartVa = output;
        mdl.MappedSystemVa = output;
        mdl.ByteCount = outputLength;
        outputMdl = &mdl;
    }
    RequestResult result = SendOnFile(file, location, flags, system, output, outputMdl);
    if (method == METHOD_BUFFERED) {
        ULONG_PTR bytes = 0;
        if (!NT_ERROR(result.status) && outputLength != 0) {
            bytes = result.information;
            if (bytes > outputLength) {
                Report(Violation::IrpBadCompletion,
                       "a device control request was completed with " + std::to_string(bytes) +
                           " bytes of information for an output buffer of " +
                           std::to_string(outputLength));
                bytes = outputLength;
            }
            memcpy(output, system, bytes);
        }
        result.information = NT_ERROR(result.status) ? 0 : bytes;
    } else if (NT_ERROR(result.status)) {
        result.information = 0;
    }
    if (system != nullptr) {
        PoolFree(system, nullptr, "the I/O manager");
    }
    return result;
}

}  // namespace host::kernel
