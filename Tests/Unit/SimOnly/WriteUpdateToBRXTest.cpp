// A VM interface list delivered to the machine's teaming driver: every answer the driver gives,
// the trace lines (WriteUpdateToBRXTest.txt) and result of each, and the requests the driver
// recorded.
#include "TeamedAdapter.h"
#include "ZelAdapter.h"

#include "Support/IdleHyperVMonitor.h"
#include "Support/FailingAllocation.h"
#include "Support/MachineTest.h"
#include "Support/ScopedHandles.h"

#include <set>

namespace {

const char kClass[] = "#{AD498944-762F-11D0-8DCB-00C04FC3358C}";

// Teams 0000 to 0004: answers success, not supported, failure; no private device; a failing
// DeviceIoControl.
const char kMachine[] = R"({
  "adapters": [
    {"guid": "{A0000000-0000-0000-0000-000000000000}", "name": "Team Success"},
    {"guid": "{A1000000-0000-0000-0000-000000000000}", "name": "Team NotSupported"},
    {"guid": "{A2000000-0000-0000-0000-000000000000}", "name": "Team Failure"},
    {"guid": "{A3000000-0000-0000-0000-000000000000}", "name": "Team Plain"},
    {"guid": "{A4000000-0000-0000-0000-000000000000}", "name": "Team Unplugged"},
    {"guid": "{B0000000-0000-0000-0000-000000000000}", "instanceId": "PCI\\DEV\\1"}
  ],
  "teams": [
    {"adapter": "{A0000000-0000-0000-0000-000000000000}", "privateDevice": "OBRXCtlA",
     "members": ["{B0000000-0000-0000-0000-000000000000}"], "status": "success"},
    {"adapter": "{A1000000-0000-0000-0000-000000000000}", "privateDevice": "OBRXCtlB",
     "members": ["{B0000000-0000-0000-0000-000000000000}"], "status": "notSupported"},
    {"adapter": "{A2000000-0000-0000-0000-000000000000}", "privateDevice": "OBRXCtlC",
     "members": ["{B0000000-0000-0000-0000-000000000000}"], "status": "failure"},
    {"adapter": "{A3000000-0000-0000-0000-000000000000}", "privateDevice": null,
     "members": ["{B0000000-0000-0000-0000-000000000000}"], "status": "success"},
    {"adapter": "{A4000000-0000-0000-0000-000000000000}", "privateDevice": "OBRXCtlE",
     "members": ["{B0000000-0000-0000-0000-000000000000}"], "ioctlError": 1167}
  ]
})";

CZelString Wide(const std::string& text) {
    std::basic_string<WCHAR> wide(text.begin(), text.end());
    return CZelString(wide.c_str());
}

class WriteUpdateToBRX : public test::MachineTest {
protected:
    static void SetUpTestSuite() { OpenMachine(kMachine); }

    // Sends `vms` VMs for the team of `guid`; keeps the trace lines it left.
    bool Send(const std::string& guid, int vms) {
        TeamedAdapter team;
        team.m_strGUID = Wide(guid);
        team.m_strName = TEXT("Team");
        team.m_bBound = true;
        for (int i = 0; i < vms; ++i) {
            VirtualMachine* vm = new VirtualMachine;
            vm->m_strMAC = TEXT("00155D0A0B0C");
            vm->m_nVlanID = i;
            team.m_VirtualMachines.push_back(vm);
        }
        MarkTrace();
        m_recordStart = sim::Machine::Get().Records("driver-requests.jsonl").size();
        bool bSuccess = m_monitor.WriteUpdateToBRX(&team);
        m_lines = NewMessages(kWithoutScopes);
        return bSuccess;
    }

    static std::string Interface(int n) { return "ROOT#NET#000" + std::to_string(n) + kClass; }

    test::IdleHyperVMonitor m_monitor;
    std::vector<std::string> m_lines;
    size_t m_recordStart = 0;
};

// The name query, then the list through the private device, or as a query without one: each
// list 2608 bytes (in a 2620-byte envelope where the private device takes it).
TEST_F(WriteUpdateToBRX, EveryAnswerOfTheDriver) {
    struct {
        int team, vms;
        bool bSuccess;
        std::string list;  // the list's request: device|code
    } cases[] = {
        {0, 2, true, "OBRXCtlA|0x00172800"},
        {1, 1, false, "OBRXCtlB|0x00172800"},  // not supported
        {2, 1, false, "OBRXCtlC|0x00172800"},
        {3, 3, true, Interface(3) + "|0x00170002"},
        // DeviceIoControl itself fails: its error, as a local failure.
        {4, 1, false, "OBRXCtlE|0x00172800"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.team);
        const std::string guid = Interface(c.team);
        EXPECT_EQ(c.bSuccess, Send(guid, c.vms));
        EXPECT_EQ(test::Expected(__FILE__, "team " + std::to_string(c.team)), m_lines);
        // The name query, then the list with its marker and VM count.
        EXPECT_EQ((std::vector<std::string>{
                      "\\\\.\\" + guid + "|0x00170002|0xFF0201A9|(none)|(none)",
                      "\\\\.\\" + c.list + "|0xFF010101|1|" + std::to_string(c.vms)}),
                  Fields("driver-requests.jsonl",
                         {"device", "code", "oid", "list.marker", "list.count"}, m_recordStart));
        std::vector<sim::Json> records = test::Records("driver-requests.jsonl", m_recordStart);
        ASSERT_EQ(2u, records.size());
        EXPECT_EQ(2u * 2608, records[1].Find("payload")->String().size());
    }
}

// A name no device has, and one too long for the path, which is left empty: nothing is sent.
TEST_F(WriteUpdateToBRX, NoAdapterDevice) {
    const struct {
        const char* name;
        std::string guid;
    } cases[] = {{"no such device", std::string("ROOT#NET#9999") + kClass},
                 {"a name too long for the path", std::string(300, 'x')}};
    for (const auto& c : cases) {
        EXPECT_FALSE(Send(c.guid, 1));
        EXPECT_EQ(test::Expected(__FILE__, c.name), m_lines);
        EXPECT_TRUE(test::Records("driver-requests.jsonl", m_recordStart).empty());
    }
}

// What comes back of a private request is the Length the driver answers, never more than the
// caller's buffer: none of a whole list, which the driver only takes; all of a short buffer,
// for which the driver claims the list's size.
TEST_F(WriteUpdateToBRX, APrivateAnswerGivesItsLengthAtMostTheBuffer) {
    test::ScopedHandle device(
        CreateFileW(Wide("\\\\.\\" + Interface(0)).c_str(), 0, 0, NULL, OPEN_EXISTING, 0, NULL));
    ASSERT_TRUE(device);
    test::ScopedHandle privateDevice(OpenPrivateDeviceHandle(device));
    ASSERT_TRUE(privateDevice);
    struct {
        ULONG size, status, returned, needed;
    } cases[] = {
        {2608 + 16, 0, 0, 0}, {100, 0xC0010014, 100, 2608},  // NDIS_STATUS_INVALID_LENGTH
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<BYTE> buffer(c.size + 8, 0x5A);
        ULONG returned = 7, needed = 7, error = 7;
        EXPECT_EQ(c.status,
                  DeviceQuerySet(device, privateDevice, OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST,
                                 buffer.data(), c.size, &returned, &needed, &error));
        EXPECT_EQ(c.returned, returned);
        EXPECT_EQ(c.needed, needed);
        EXPECT_EQ(std::vector<BYTE>(c.size + 8, 0x5A), buffer);  // nothing written back
    }
}

// Each allocation of a delivery failing in turn: out of memory for the update pass to catch, a
// refused list (the driver's handle or the list's envelope), or, where only a trace scope lost
// its name, the list delivered.
TEST_F(WriteUpdateToBRX, AnAllocationThatFailsRefusesTheList) {
    TeamedAdapter team;
    team.m_strGUID = Wide(Interface(0));
    team.m_VirtualMachines.push_back(new VirtualMachine);
    MarkTrace();
    std::vector<long> results =
        test::OutcomesWithEachAllocationFailing([&] { return m_monitor.WriteUpdateToBRX(&team); });
    EXPECT_EQ(1, results.back());
    EXPECT_EQ((std::set<long>{test::kThrewBadAlloc, 0, 1}),
              std::set<long>(results.begin(), results.end()));
    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_LE(1u, test::Count(lines, "ERROR:  Unable to retrieve handle to driver, error=8"));
    EXPECT_LE(
        1u, test::Count(lines, "ERROR:  Unable to query OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST"));
}

}  // namespace
