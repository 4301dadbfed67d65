// Owners of Win32 handles for tests and tools: each closes its handle when it goes, with the
// function its traits name; moved, never copied. Null and INVALID_HANDLE_VALUE hold nothing.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winsvc.h>

namespace test {

template <typename Handle, typename Traits>
class Scoped {
public:
    Scoped() = default;
    explicit Scoped(Handle handle) : m_handle(handle) {}
    ~Scoped() { Reset(); }
    Scoped(Scoped&& other) noexcept : m_handle(other.Release()) {}
    Scoped& operator=(Scoped&& other) noexcept {
        Reset(other.Release());
        return *this;
    }

    Handle Get() const { return m_handle; }
    operator Handle() const { return m_handle; }
    explicit operator bool() const {
        return m_handle != NULL && m_handle != reinterpret_cast<Handle>(INVALID_HANDLE_VALUE);
    }
    // Where a function that opens one writes the handle; closes the one held first.
    Handle* Receive() {
        Reset();
        return &m_handle;
    }
    // Gives the handle up without closing it.
    Handle Release() {
        Handle handle = m_handle;
        m_handle = NULL;
        return handle;
    }
    void Reset(Handle handle = NULL) {
        if (*this) {
            Traits::Close(m_handle);
        }
        m_handle = handle;
    }

private:
    Handle m_handle = NULL;
};

struct KeyTraits {
    static void Close(HKEY key) { RegCloseKey(key); }
};
struct KernelTraits {
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
struct ServiceTraits {
    static void Close(SC_HANDLE service) { CloseServiceHandle(service); }
};
struct DeviceSetTraits {
    static void Close(HDEVINFO set) { SetupDiDestroyDeviceInfoList(set); }
};

typedef Scoped<HKEY, KeyTraits> ScopedKey;
typedef Scoped<HANDLE, KernelTraits> ScopedHandle;
typedef Scoped<SC_HANDLE, ServiceTraits> ScopedService;
typedef Scoped<HDEVINFO, DeviceSetTraits> ScopedDeviceSet;

}  // namespace test
