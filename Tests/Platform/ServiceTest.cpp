// Conformance of the service control manager's database calls: the errors a program meets
// for bad handles, missing and duplicate services, and marks for deletion. Run as an
// administrator on Windows; under Wine, against Wine's service manager.
#include <windows.h>

#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

namespace {

using test::ScopedService;

const WCHAR kName[] = TEXT("TarvikConformanceService");

class Service : public testing::Test {
protected:
    void SetUp() override {
        m_manager.Reset(OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(m_manager) << GetLastError();
    }
    void TearDown() override {
        ScopedService leftover(OpenServiceW(m_manager, kName, SERVICE_ALL_ACCESS));
        if (leftover) {
            DeleteService(leftover);
        }
    }
    SC_HANDLE Create(DWORD access) {
        return CreateServiceW(m_manager, kName, kName, access, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              TEXT("C:\\Windows\\system32\\TarvikNothing.exe"), NULL, NULL, NULL,
                              NULL, NULL);
    }
    ScopedService m_manager;
};

TEST_F(Service, OpenErrors) {
    EXPECT_LAST_ERROR(nullptr, ERROR_INVALID_NAME,
                      OpenSCManagerW(NULL, TEXT("NoSuchDatabase"), GENERIC_READ));
    EXPECT_LAST_ERROR(nullptr, ERROR_INVALID_ADDRESS, OpenServiceW(m_manager, NULL, GENERIC_READ));
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseServiceHandle(NULL));
}

TEST_F(Service, CreateQueryAndDelete) {
    SetLastError(0xdeadbeef);
    SC_HANDLE service = Create(SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr) << GetLastError();

    // A second create, under the same name in another case too.
    EXPECT_LAST_ERROR(nullptr, ERROR_SERVICE_EXISTS, Create(SERVICE_ALL_ACCESS));
    SC_HANDLE again = OpenServiceW(m_manager, TEXT("TARVIKCONFORMANCESERVICE"), GENERIC_READ);
    EXPECT_NE(again, nullptr);

    SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(TEXT("Checks the manager."))};
    EXPECT_TRUE(ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED,
                      ChangeServiceConfig2W(again, SERVICE_CONFIG_DESCRIPTION, &description));

    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));

    SERVICE_STATUS_PROCESS process;
    DWORD needed = 0;
    EXPECT_LAST_ERROR(FALSE, ERROR_INSUFFICIENT_BUFFER,
                      QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                           reinterpret_cast<LPBYTE>(&process), 8, &needed));
    EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
    EXPECT_EQ(needed, 36u);
    ASSERT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<LPBYTE>(&process), sizeof(process), &needed));
    EXPECT_EQ(process.dwProcessId, 0u);

    EXPECT_LAST_ERROR(FALSE, ERROR_SERVICE_NOT_ACTIVE,
                      ControlService(service, SERVICE_CONTROL_STOP, &status));

    // Marked while handles are open: a new create is refused.
    ASSERT_TRUE(DeleteService(service));
    EXPECT_LAST_ERROR(nullptr, ERROR_SERVICE_MARKED_FOR_DELETE, Create(SERVICE_ALL_ACCESS));
    EXPECT_TRUE(CloseServiceHandle(again));
    EXPECT_TRUE(CloseServiceHandle(service));

    // Gone with its last handle.
    EXPECT_LAST_ERROR(nullptr, ERROR_SERVICE_DOES_NOT_EXIST,
                      OpenServiceW(m_manager, kName, GENERIC_READ));
}

}  // namespace
