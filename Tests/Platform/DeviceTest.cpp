// Devices as any Windows machine has them: the network class's device set and opening a device
// that does not exist. The same checks run on our machine and under Wine.
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include "LastError.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(DeviceTest, NetClassDeviceSet) {
    SetLastError(0xdeadbeef);
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, NULL, NULL, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);

    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data) - 1;
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_USER_BUFFER, SetupDiEnumDeviceInfo(set, 0, &data));

    // Whatever devices the machine has: each is of the class, has an instance identifier whose
    // size is told when the buffer is too small, and the enumeration ends with ERROR_NO_MORE_ITEMS.
    data.cbSize = sizeof(data);
    DWORD index = 0;
    for (;; ++index) {
        SCOPED_TRACE(index);
        SetLastError(0xdeadbeef);
        if (!SetupDiEnumDeviceInfo(set, index, &data)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        EXPECT_TRUE(IsEqualGUID(GUID_DEVCLASS_NET, data.ClassGuid));
        DWORD required = 0;
        WCHAR small[1];
        EXPECT_LAST_ERROR(FALSE, ERROR_INSUFFICIENT_BUFFER,
                          SetupDiGetDeviceInstanceIdW(set, &data, small, 1, &required));
        WCHAR id[MAX_PATH];
        ASSERT_LE(required, static_cast<DWORD>(MAX_PATH));
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_PATH, NULL));
        EXPECT_EQ(static_cast<size_t>(required - 1), std::char_traits<WCHAR>::length(id));
        if (index > 100) {
            ADD_FAILURE() << "the enumeration does not end";
            break;
        }
    }
    EXPECT_LAST_ERROR(FALSE, ERROR_NO_MORE_ITEMS, SetupDiEnumDeviceInfo(set, index + 1, &data));

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, SetupDiDestroyDeviceInfoList(set));

    EXPECT_LAST_ERROR(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER,
                      SetupDiGetClassDevsW(NULL, NULL, NULL, 0));
}

}  // namespace
