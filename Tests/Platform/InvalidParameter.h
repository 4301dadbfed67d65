// The runtime's process-wide invalid-parameter handler, replaced for a test by one that counts
// its calls.
#pragma once

#include <windows.h>

#include <stdlib.h>

#include "LastError.h"

inline int g_handlerCalls = 0;

// WCHAR is wchar_t on Windows, where the handler's parameters are wchar_t.
inline void CountingHandler(const WCHAR*, const WCHAR*, const WCHAR*, unsigned int, uintptr_t) {
    ++g_handlerCalls;
}

inline _invalid_parameter_handler SetHandler(_invalid_parameter_handler handler) {
#ifdef _WIN32
    // MinGW's import library keeps a handler of its own that msvcrt.dll never sees; the bounded
    // functions of the DLL call the one installed in the DLL.
    typedef _invalid_parameter_handler(__cdecl * Setter)(_invalid_parameter_handler);
    Setter set = reinterpret_cast<Setter>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_set_invalid_parameter_handler")));
    if (set) {
        return set(handler);
    }
#endif
    return _set_invalid_parameter_handler(handler);
}

// Wine's msvcrt, as a MinGW build reaches it, never calls a handler the test can install.
inline void ExpectHandlerCalls(int calls) {
    if (!OnWine()) {
        EXPECT_EQ(g_handlerCalls, calls);
    }
}

class CountedHandlerTest : public testing::Test {
protected:
    void SetUp() override {
        m_previous = SetHandler(CountingHandler);
        g_handlerCalls = 0;
    }
    void TearDown() override { SetHandler(m_previous); }

private:
    _invalid_parameter_handler m_previous = NULL;
};
