// A VM interface list delivered to the machine's teaming driver: every answer the driver gives,
// the trace lines and result of each, and the requests the driver recorded.
#include "TeamedAdapter.h"
#include "ZelAdapter.h"

#include "Support/IdleHyperVMonitor.h"
#include "Support/FailingAllocation.h"
#include "Support/MachineTest.h"
#include "Support/ScopedHandles.h"

#include <set>

namespace {

using test::Join;

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

    // The lines of one notification, with GetDriverHandle's own from its CreateFile line on.
    static std::vector<std::string> Lines(const std::string& guid,
                                          const std::vector<std::string>& driver, bool bSuccess) {
        const std::string result = bSuccess ? "res=0" : "res=1f";
        return Join(
            {{"Entering HyperVMonitor::WriteUpdateToBRX GUID=" + guid,
              "Entering CZelAdapter::CZelAdapter()", "Exiting CZelAdapter::CZelAdapter()",
              "Entering CZelAdapter::NotifyBRXOfUpdate() - GUID=" + guid,
              "Entering CZelAdapter::GetDriverHandle()"},
             driver,
             {"Exiting CZelAdapter::NotifyBRXOfUpdate() - " + result,
              std::string("Exiting HyperVMonitor::WriteUpdateToBRX bSuccess=") +
                  (bSuccess ? "1" : "0"),
              "Entering CZelAdapter::~CZelAdapter()", "Exiting CZelAdapter::~CZelAdapter()"}});
    }

    test::IdleHyperVMonitor m_monitor;
    std::vector<std::string> m_lines;
    size_t m_recordStart = 0;
};

// The name query, then the list through the private device, or as a query without one: each
// list 2608 bytes (in a 2620-byte envelope where the private device takes it).
TEST_F(WriteUpdateToBRX, EveryAnswerOfTheDriver) {
    const std::string kFailed = "CZelAdapter::QueryOID -DeviceQuerySet() failed - dwResult=";
    const char kSuccess[] = "DeviceQuerySet for OID returned SUCCESS";
    const std::string kPrivate = "\\\\.\\OBRXCtl", kNotSupported = "ERROR:  OID is not supported!";
    struct {
        int team, vms;
        std::vector<std::string> query;  // QueryOID's own lines
        std::string list;                // the list's request: device|code
    } cases[] = {
        {0, 2, {kSuccess}, kPrivate + "A|0x00172800"},
        {1, 1, {kFailed + "-1073741637, error=50", kNotSupported}, kPrivate + "B|0x00172800"},
        {2, 1, {kFailed + "-1073741823, error=31"}, kPrivate + "C|0x00172800"},
        {3, 3, {kSuccess}, "\\\\.\\" + Interface(3) + "|0x00170002"},
        // DeviceIoControl itself fails: its error, as a local failure.
        {4, 1, {kFailed + "-1073741823, error=1167"}, kPrivate + "E|0x00172800"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.team);
        bool bSuccess = c.query[0] == kSuccess;
        const std::string guid = Interface(c.team), result = bSuccess ? "res=0" : "res=1f";
        EXPECT_EQ(bSuccess, Send(guid, c.vms));
        std::vector<std::string> driver = Join(
            {{"CreateFile str=\\\\.\\" + guid, "Exiting CZelAdapter::GetDriverHandle() - res=0",
              "Entering CZelAdapter::QueryOID()"},
             c.query,
             {"Exiting CZelAdapter::QueryOID() - " + result,
              bSuccess ? "Successfully called OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST"
                       : "ERROR:  Unable to query OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST"}});
        EXPECT_EQ(Lines(guid, driver, bSuccess), m_lines);
        // The name query, then the list with its marker and VM count.
        EXPECT_EQ(
            (std::vector<std::string>{"\\\\.\\" + guid + "|0x00170002|0xFF0201A9|(none)|(none)",
                                      c.list + "|0xFF010101|1|" + std::to_string(c.vms)}),
            Fields("driver-requests.jsonl", {"device", "code", "oid", "list.marker", "list.count"},
                   m_recordStart));
        std::vector<sim::Json> records = test::Records("driver-requests.jsonl", m_recordStart);
        ASSERT_EQ(2u, records.size());
        EXPECT_EQ(2u * 2608, records[1].Find("payload")->String().size());
    }
}

// A name no device has, and one too long for the path, which is left empty: nothing is sent.
TEST_F(WriteUpdateToBRX, NoAdapterDevice) {
    const std::string kGone = std::string("ROOT#NET#9999") + kClass, kLong(300, 'x');
    struct {
        std::string guid;
        std::vector<std::string> open;  // the lines up to CreateFile's error
    } cases[] = {
        {kGone,
         {"CreateFile str=\\\\.\\" + kGone,
          "ERROR:  Unable to retrieve handle to driver, error=2"}},
        {kLong,
         {"ZelSecureInvalidParameterHandler : ERROR",
          "Src\\ZelAdapter (85): ZelSafeCopy ERROR: strDestination size 0, or too small",
          "CreateFile str=", "ERROR:  Unable to retrieve handle to driver, error=3"}},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Send(c.guid, 1));
        EXPECT_EQ(Lines(c.guid,
                        Join({c.open,
                              {"Exiting CZelAdapter::GetDriverHandle() - res=1f",
                               "ERROR:  Unable to retrieve device handle for GUID=" + c.guid +
                                   ", Name=Team"}}),
                        false),
                  m_lines);
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
