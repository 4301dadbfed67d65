// A VM interface list delivered to the machine's teaming driver: every answer the driver gives,
// the trace lines and result of each, and the requests the driver recorded.
#include "HyperVMonitor.h"
#include "TeamedAdapter.h"
#include "ZelAdapter.h"

#include "Support/IdleHyperVMonitor.h"
#include "Support/MachineTest.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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

    // Sends `vms` VMs for team `n`; fills the trace lines and driver records it left.
    bool Send(int n, int vms) {
        m_team.reset(new TeamedAdapter);
        m_team->m_strGUID = Wide(Interface(n));
        m_team->m_strName = TEXT("Team");
        m_team->m_bBound = true;
        for (int i = 0; i < vms; ++i) {
            VirtualMachine* vm = new VirtualMachine;
            vm->m_strMAC = TEXT("00155D0A0B0C");
            vm->m_nVlanID = i;
            m_team->m_VirtualMachines.push_back(vm);
        }
        MarkTrace();
        size_t recordStart = sim::Machine::Get().Records("driver-requests.jsonl").size();
        bool bSuccess = m_monitor.WriteUpdateToBRX(m_team.get());
        m_lines = NewMessages(kWithoutScopes);
        m_records = MachineRecords("driver-requests.jsonl", recordStart);
        return bSuccess;
    }

    static std::string Interface(int n) { return "ROOT#NET#000" + std::to_string(n) + kClass; }

    // The lines of one notification that reached the driver, with QueryOID's own in between.
    static std::vector<std::string> Lines(int n, const std::vector<std::string>& query,
                                          bool bSuccess) {
        std::string guid = Interface(n);
        std::vector<std::string> lines = {
            "Entering HyperVMonitor::WriteUpdateToBRX GUID=" + guid,
            "Entering CZelAdapter::CZelAdapter()",
            "Exiting CZelAdapter::CZelAdapter()",
            "Entering CZelAdapter::NotifyBRXOfUpdate() - GUID=" + guid,
            "Entering CZelAdapter::GetDriverHandle()",
            "CreateFile str=\\\\.\\" + guid,
            "Exiting CZelAdapter::GetDriverHandle() - res=0",
            "Entering CZelAdapter::QueryOID()",
        };
        lines.insert(lines.end(), query.begin(), query.end());
        std::vector<std::string> tail = {
            bSuccess ? "Exiting CZelAdapter::QueryOID() - res=0"
                     : "Exiting CZelAdapter::QueryOID() - res=1f",
            bSuccess ? "Successfully called OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST"
                     : "ERROR:  Unable to query OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST",
            bSuccess ? "Exiting CZelAdapter::NotifyBRXOfUpdate() - res=0"
                     : "Exiting CZelAdapter::NotifyBRXOfUpdate() - res=1f",
            bSuccess ? "Exiting HyperVMonitor::WriteUpdateToBRX bSuccess=1"
                     : "Exiting HyperVMonitor::WriteUpdateToBRX bSuccess=0",
            "Entering CZelAdapter::~CZelAdapter()",
            "Exiting CZelAdapter::~CZelAdapter()",
        };
        lines.insert(lines.end(), tail.begin(), tail.end());
        return lines;
    }

    // The name query, then the list: its device, control code, payload and count.
    void ExpectRecords(int n, const std::string& listDevice, const std::string& code, int count) {
        ASSERT_EQ(2u, m_records.size());
        EXPECT_EQ("\\\\.\\" + Interface(n), m_records[0].Find("device")->String());
        EXPECT_EQ("0x00170002", m_records[0].Find("code")->String());
        EXPECT_EQ("0xFF0201A9", m_records[0].Find("oid")->String());
        const sim::Json& list = m_records[1];
        EXPECT_EQ(listDevice, list.Find("device")->String());
        EXPECT_EQ(code, list.Find("code")->String());
        EXPECT_EQ("0xFF010101", list.Find("oid")->String());
        // 2608 bytes of list, in a 2620-byte envelope where the private device takes it.
        EXPECT_EQ(2u * 2608, list.Find("payload")->String().size());
        ASSERT_NE(nullptr, list.Find("list"));
        EXPECT_EQ(1, list.Find("list")->Find("marker")->Number());
        EXPECT_EQ(count, list.Find("list")->Find("count")->Number());
    }

    test::IdleHyperVMonitor m_monitor;
    std::unique_ptr<TeamedAdapter> m_team;
    std::vector<std::string> m_lines;
    std::vector<sim::Json> m_records;
};

TEST_F(WriteUpdateToBRX, EveryAnswerOfThePrivateDevice) {
    EXPECT_TRUE(Send(0, 2));
    EXPECT_EQ(Lines(0, {"DeviceQuerySet for OID returned SUCCESS"}, true), m_lines);
    ExpectRecords(0, "\\\\.\\OBRXCtlA", "0x00172800", 2);
    EXPECT_EQ("0x00000000", m_records[1].Find("status")->String());

    EXPECT_FALSE(Send(1, 1));
    EXPECT_EQ(Lines(1,
                    {"CZelAdapter::QueryOID -DeviceQuerySet() failed - dwResult=-1073741637, "
                     "error=50",
                     "ERROR:  OID is not supported!"},
                    false),
              m_lines);
    ExpectRecords(1, "\\\\.\\OBRXCtlB", "0x00172800", 1);

    EXPECT_FALSE(Send(2, 1));
    EXPECT_EQ(Lines(2,
                    {"CZelAdapter::QueryOID -DeviceQuerySet() failed - dwResult=-1073741823, "
                     "error=31"},
                    false),
              m_lines);
    ExpectRecords(2, "\\\\.\\OBRXCtlC", "0x00172800", 1);

    // DeviceIoControl itself fails: its error, as a local failure.
    EXPECT_FALSE(Send(4, 1));
    EXPECT_EQ(Lines(4,
                    {"CZelAdapter::QueryOID -DeviceQuerySet() failed - dwResult=-1073741823, "
                     "error=1167"},
                    false),
              m_lines);
    ASSERT_EQ(2u, m_records.size());
    EXPECT_EQ("\\\\.\\OBRXCtlE", m_records[1].Find("device")->String());
}

TEST_F(WriteUpdateToBRX, NoPrivateDeviceSendsTheListAsAQuery) {
    EXPECT_TRUE(Send(3, 3));
    EXPECT_EQ(Lines(3, {"DeviceQuerySet for OID returned SUCCESS"}, true), m_lines);
    ExpectRecords(3, "\\\\.\\" + Interface(3), "0x00170002", 3);
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
        ULONG size;
        ULONG status;
        ULONG returned, needed;
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

}  // namespace
