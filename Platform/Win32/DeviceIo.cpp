// Opening devices and sending them I/O control requests. The devices are the teaming driver's
// (Machine/Devices/TeamingDriver.h); a handle to one is closed with CloseHandle like any kernel
// object.
#include <windows.h>

#include "FaceResult.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Processes/Handles.h"
#include "Machine/Devices/TeamingDriver.h"

#include <new>

namespace {

bool IsDevicePath(LPCWSTR name) {
    return name[0] == u'\\' && name[1] == u'\\' && (name[2] == u'.' || name[2] == u'?') &&
           name[3] == u'\\';
}

}  // namespace

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    // Devices keep no sharing state, security or attributes; a template is ignored for them,
    // as on Windows.
    UNREFERENCED_PARAMETER(dwShareMode);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(dwFlagsAndAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    DWORD error = ERROR_SUCCESS;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (sim::InjectedFault("CreateFileW", &error)) {
    } else if (lpFileName == NULL) {
        error = ERROR_PATH_NOT_FOUND;
    } else if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        error = ERROR_INVALID_PARAMETER;
    } else if (lpFileName[0] == 0) {
        error = ERROR_PATH_NOT_FOUND;
    } else if (!IsDevicePath(lpFileName)) {
        // Files are opened through the runtime (_wfopen) on this machine.
        error = ERROR_NOT_SUPPORTED;
    } else {
        try {
            std::shared_ptr<sim::DeviceObject> device;
            error = sim::OpenDevice(lpFileName, dwDesiredAccess, &device);
            if (error == ERROR_SUCCESS) {
                handle = sim::HandleTable::Get().Add(std::move(device));
            }
        } catch (const std::bad_alloc&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    SetLastError(error);
    return handle;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    DWORD error = ERROR_SUCCESS;
    DWORD returned = 0;
    if (lpBytesReturned == NULL && lpOverlapped == NULL) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (sim::InjectedFault("DeviceIoControl", &error)) {
    } else if ((lpInBuffer == NULL && nInBufferSize != 0) ||
               (lpOutBuffer == NULL && nOutBufferSize != 0)) {
        error = ERROR_NOACCESS;
    } else {
        try {
            std::shared_ptr<sim::DeviceObject> device =
                sim::HandleTable::Get().FindAs<sim::DeviceObject>(hDevice);
            if (device == nullptr) {
                // Other kernel objects take no control requests.
                error = sim::HandleTable::Get().Find(hDevice) ? ERROR_INVALID_FUNCTION
                                                              : ERROR_INVALID_HANDLE;
            } else {
                error = sim::ControlDevice(*device, dwIoControlCode, lpInBuffer, nInBufferSize,
                                           lpOutBuffer, nOutBufferSize, &returned);
            }
        } catch (const std::bad_alloc&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    // Requests complete at once; an OVERLAPPED gets the byte count of a completed request.
    if (lpBytesReturned != NULL) {
        *lpBytesReturned = returned;
    }
    if (lpOverlapped != NULL && error == ERROR_SUCCESS) {
        lpOverlapped->Internal = 0;
        lpOverlapped->InternalHigh = returned;
    }
    return error == ERROR_SUCCESS ? TRUE : FailWith(error);
}
