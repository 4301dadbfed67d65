// The handle owner with traits that record each close, one handle's close failing: every handle
// closed once however it is moved, none that was handed on, and the last error as its contract
// says (kept across Reset, the close's own after Close).
#include "ZelScopedHandle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

HANDLE Fake(ULONG_PTR n) {
    return reinterpret_cast<HANDLE>(n);
}

std::vector<HANDLE> g_closed;

struct RecordingTraits {
    static bool Close(HANDLE hHandle) {
        g_closed.push_back(hHandle);
        if (hHandle == Fake(2)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        return true;
    }
};
typedef CZelScopedHandle<HANDLE, RecordingTraits> Owner;

TEST(ZelScopedHandle, ClosesEachHandleOnceAndKeepsTheLastError) {
    g_closed.clear();
    {
        Owner first(Fake(1));
        Owner second(std::move(first));
        Owner third;
        third = std::move(second);
        third.Reset(third.Get());  // the handle held stays open
        Owner invalid(INVALID_HANDLE_VALUE);
        Owner handedOn(Fake(3));
        EXPECT_EQ(Fake(3), handedOn.Detach());

        // A failed call's error outlives the close of what was held, failed close or not.
        Owner failing(Fake(2));
        SetLastError(ERROR_FILE_NOT_FOUND);
        failing.Reset(Fake(4));
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

        Owner refused(Fake(2));
        EXPECT_FALSE(refused.Close());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_TRUE(refused.Close());  // nothing left to close
        EXPECT_EQ((std::vector<HANDLE>{Fake(2), Fake(2)}), g_closed);
    }
    EXPECT_EQ((std::vector<HANDLE>{Fake(2), Fake(2), Fake(4), Fake(1)}), g_closed);
}

}  // namespace
