// CZelScopedHandle: owner of one Win32 handle, closed with the function its traits name when the
// holder goes or is reset; moved, never copied. Null and INVALID_HANDLE_VALUE hold nothing.
//
// Reset keeps the thread's last-error value across the close, so an owner that goes between a
// failed call and the trace of its GetLastError() cannot change the code traced. Close is for the
// caller who wants to know whether the close itself worked: it leaves the close's error.
#pragma once

#include <windows.h>

#include <setupapi.h>
#include <winsvc.h>

template <typename Handle, typename Traits>
class CZelScopedHandle {
public:
    CZelScopedHandle() : m_handle(NULL) {}
    // Takes over `handle` (null or INVALID_HANDLE_VALUE: nothing).
    explicit CZelScopedHandle(Handle handle) : m_handle(handle) {}
    ~CZelScopedHandle() { Reset(); }

    CZelScopedHandle(CZelScopedHandle&& other) noexcept : m_handle(other.Detach()) {}
    CZelScopedHandle& operator=(CZelScopedHandle&& other) noexcept {
        Reset(other.Detach());
        return *this;
    }
    CZelScopedHandle(const CZelScopedHandle&) = delete;
    CZelScopedHandle& operator=(const CZelScopedHandle&) = delete;

    Handle Get() const { return m_handle; }
    operator Handle() const { return m_handle; }
    explicit operator bool() const { return IsValid(m_handle); }

    // For an out-parameter: whatever was held is closed first.
    Handle* Receive() {
        Reset();
        return &m_handle;
    }

    // Hands the handle on without closing it; the owner holds nothing afterwards.
    [[nodiscard]] Handle Detach() {
        Handle handle = m_handle;
        m_handle = NULL;
        return handle;
    }

    // Closes the handle held (keeping the last error) and takes over `handle`.
    void Reset(Handle handle = NULL) {
        Handle old = m_handle;
        m_handle = handle;
        if (old != handle && IsValid(old)) {
            DWORD dwError = GetLastError();
            Traits::Close(old);
            SetLastError(dwError);
        }
    }

    // Closes the handle now: false when the close function failed (its error is the last
    // error); true when it worked or nothing was held.
    bool Close() {
        Handle old = Detach();
        return !IsValid(old) || Traits::Close(old);
    }

private:
    static bool IsValid(Handle handle) {
        return handle != NULL && handle != reinterpret_cast<Handle>(INVALID_HANDLE_VALUE);
    }

    Handle m_handle;
};

struct CZelKeyTraits {
    static bool Close(HKEY hKey) { return RegCloseKey(hKey) == ERROR_SUCCESS; }
};
struct CZelKernelTraits {
    static bool Close(HANDLE hHandle) { return CloseHandle(hHandle) != FALSE; }
};
struct CZelServiceTraits {
    static bool Close(SC_HANDLE hService) { return CloseServiceHandle(hService) != FALSE; }
};
struct CZelDeviceInfoTraits {
    static bool Close(HDEVINFO hDevInfo) { return SetupDiDestroyDeviceInfoList(hDevInfo) != FALSE; }
};

typedef CZelScopedHandle<HKEY, CZelKeyTraits> CZelKeyHandle;
typedef CZelScopedHandle<HANDLE, CZelKernelTraits> CZelKernelHandle;
typedef CZelScopedHandle<SC_HANDLE, CZelServiceTraits> CZelServiceHandle;
typedef CZelScopedHandle<HDEVINFO, CZelDeviceInfoTraits> CZelDeviceInfoList;
