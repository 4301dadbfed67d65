// A COM object of the test's own that counts its references and lives on the stack.
#pragma once

#include <windows.h>

#include <objbase.h>

#include <atomic>

namespace test {

class Counted : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        // AddRef answers the new count, never 0.
        *ppv = IsEqualIID(riid, IID_IUnknown) && AddRef() ? static_cast<IUnknown*>(this) : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }
    ULONG References() const { return m_references; }

private:
    std::atomic<ULONG> m_references{1};
};

}  // namespace test
