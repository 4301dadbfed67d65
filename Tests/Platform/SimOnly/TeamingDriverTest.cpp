// The simulated teaming driver: its devices, every answer, and the records it leaves.
#include <windows.h>
#include <ntddndis.h>
#include <winioctl.h>

#include "LastError.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Settings/MachineBuilder.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"
#include "Support/Records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test::ScopedHandle;

const DWORD kPrivateOidRequest =
    CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS);
const char16_t kTeamA[] = u"\\\\.\\ROOT#NET#0000#{AD498944-762F-11D0-8DCB-00C04FC3358C}";
const char16_t kTeamB[] = u"\\\\.\\ROOT#NET#0001#{ad498944-762f-11d0-8dcb-00c04fc3358c}";

// Team A with a private device answering success; team B with none, whose driver fails.
const char kMachine[] = R"({
  "adapters": [
    {"guid": "{AAAAAAAA-0000-0000-0000-000000000001}", "name": "Team A"},
    {"guid": "{BBBBBBBB-0000-0000-0000-000000000002}", "name": "Team B"},
    {"guid": "{11111111-2222-3333-4444-555555555555}", "instanceId": "PCI\\DEV\\1"}
  ],
  "teams": [
    {"adapter": "{AAAAAAAA-0000-0000-0000-000000000001}",
     "members": ["{11111111-2222-3333-4444-555555555555}"], "status": "success"},
    {"adapter": "{BBBBBBBB-0000-0000-0000-000000000002}", "privateDevice": null,
     "members": ["{11111111-2222-3333-4444-555555555555}"], "status": "failure"}
  ]
})";

// Each request's fields, one line a request.
std::vector<std::string> Requests(const std::vector<std::string>& fields) {
    std::vector<std::string> lines;
    for (const sim::Json& record : test::Records("driver-requests.jsonl")) {
        lines.push_back(test::Fields(record, fields));
    }
    return lines;
}

ScopedHandle OpenDevice(const char16_t* path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return ScopedHandle(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_EXISTING, 0, INVALID_HANDLE_VALUE));
}

TEST(TeamingDriver, RefusesRequestsItCannotTake) {
    test::TestMachine machine(kMachine);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), sim::BuildMachine(machine.Dir()));
    ScopedHandle adapter = OpenDevice(kTeamA), control = OpenDevice(u"\\\\.\\OBRXCTL1", 0);
    ScopedHandle adapterB = OpenDevice(kTeamB);
    ASSERT_TRUE(adapter && control && adapterB);
    // The list as the service packs it: marker 1, one entry.
    std::vector<BYTE> list(2608, 0);
    list[0] = list[4] = 1;
    DWORD listOid = 0xFF010101;
    // A private request of another OID: the envelope's 12-byte header and 8 bytes of zeros.
    BYTE other[20] = {0x02, 0x01, 0x01, 0xFF};
    BYTE buffer[16] = {};
    DWORD oid = 0xFF0201A9, unknownOid = 0x00010101;
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    const DWORD kQuery = IOCTL_NDIS_QUERY_GLOBAL_STATS, kPrivate = kPrivateOidRequest;
    struct Case {
        const char* what;
        HANDLE device;
        DWORD code;
        void* in;
        DWORD inSize;
        void* out;
        DWORD outSize, error;
    } cases[] = {
        {"query on the private device", control, kQuery, &oid, 4, buffer, 16,
         ERROR_INVALID_FUNCTION},
        {"private request on the adapter", adapter, kPrivate, other, 20, other, 20,
         ERROR_INVALID_FUNCTION},
        {"OID shorter than 4 bytes", adapter, kQuery, &oid, 3, buffer, 16, ERROR_INVALID_PARAMETER},
        {"name longer than the buffer", adapter, kQuery, &oid, 4, buffer, 8,
         ERROR_INSUFFICIENT_BUFFER},
        {"unknown OID", adapter, kQuery, &unknownOid, 4, buffer, 16, ERROR_NOT_SUPPORTED},
        {"envelope without its header", control, kPrivate, other, 11, other, 20,
         ERROR_INVALID_PARAMETER},
        {"no room for the answer", control, kPrivate, other, 20, buffer, 11,
         ERROR_INSUFFICIENT_BUFFER},
        {"input pointer missing", adapter, kQuery, NULL, 4, buffer, 16, ERROR_NOACCESS},
        {"not a device", event, kQuery, &oid, 4, buffer, 16, ERROR_INVALID_FUNCTION},
        {"not a handle", reinterpret_cast<HANDLE>(0x7777), kQuery, &oid, 4, buffer, 16,
         ERROR_INVALID_HANDLE},
        {"list through the query", adapterB, kQuery, &listOid, 4, list.data(), 2608,
         ERROR_GEN_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DWORD returned = 0xdeadbeef;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(FALSE, DeviceIoControl(c.device, c.code, c.in, c.inSize, c.out, c.outSize,
                                         &returned, NULL));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(0u, returned);
    }

    // Requests the devices saw are recorded, also those refused; the others never reached it.
    // The answers the product meets are WriteUpdateToBRX's.
    std::vector<std::string> requests = Requests({"oid", "error"});
    ASSERT_EQ(8u, requests.size());
    EXPECT_EQ("null|1", requests[0]);

    sim::Machine::Get().Faults().Add("DeviceIoControl", ERROR_GEN_FAILURE, 1);
    DWORD returned = 0;
    EXPECT_LAST_ERROR(FALSE, ERROR_GEN_FAILURE,
                      DeviceIoControl(adapter, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, buffer, 16,
                                      &returned, NULL));
    sim::Machine::Get().Faults().Add("CreateFileW", ERROR_ACCESS_DENIED, 1);
    EXPECT_LAST_ERROR(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED, OpenDevice(kTeamA));
    EXPECT_EQ(8u, Requests({}).size());
}

}  // namespace
