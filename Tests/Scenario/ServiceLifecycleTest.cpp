// The service's life on a machine: installed with -i, started, controlled and stopped through
// tarvik-sim, as the service control manager would; what it reports, traces and leaves in the
// registry, across a pre-shutdown and the next start.
#include <windows.h>

#include "Scenario/ServiceMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using test::ServiceMachine;
using test::StatusReport;

const WCHAR kRebootValue[] = TEXT("Reboot_Detected");
// Where a 32-bit installer puts it on 64-bit Windows, and the 32-bit service finds it.
const char kSetupLibrary[] =
    R"("libraries": [{"name": "C:\\Windows\\SysWOW64\\ZEL2Setp.dll", "exports": ["RegisterZel2"]}])";
const char kUnregisterDcb[] =
    "Entering ExecuteCommand - \"C:\\Windows\\system32\\OrvexDCB.exe\" /Unreg";

// A pending DCB upgrade, with the DCB service running.
const char kDcbRegistry[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OrvexDCB]\n"
    "\"Type\"=dword:00000010\n\"Start\"=dword:00000002\n"
    "\"ImagePath\"=\"C:\\\\Windows\\\\system32\\\\OrvexDCB.exe\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\TALM]\n"
    "\"InstalledTALM_DCB_Upgrade\"=dword:00000001\n";

// `program`: how the DCB program runs; `directory`: the folder of C:\Windows it lies in.
std::string DcbSettings(const std::string& program, const std::string& directory = "SysWOW64") {
    return R"("services": [{"name": "OrvexDCB"}],
              "programs": [{"path": "C:\\Windows\\)" +
           directory + R"(\\OrvexDCB.exe", )" + program + "}]";
}

// Checkpoints count up by one through each pending run and are 0 otherwise; nothing but the
// running and stopped states takes controls.
void ExpectCheckpoints(const std::vector<StatusReport>& reports) {
    long long expected = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
        SCOPED_TRACE(i);
        const StatusReport& report = reports[i];
        bool pending =
            report.state == SERVICE_START_PENDING || report.state == SERVICE_STOP_PENDING;
        bool sameRun = pending && i > 0 && reports[i - 1].state == report.state;
        expected = sameRun ? expected + 1 : pending ? 1 : 0;
        EXPECT_EQ(report.checkPoint, expected);
        EXPECT_EQ(report.accepted, pending ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN);
        EXPECT_EQ(report.from, "service");
    }
}

// The first report of each run of one state (or every report), as "state/checkpoint".
std::vector<std::string> RunsOf(const std::vector<StatusReport>& reports, bool every = false) {
    std::vector<std::string> runs;
    for (size_t i = 0; i < reports.size(); ++i) {
        if (every || i == 0 || reports[i - 1].state != reports[i].state) {
            runs.push_back(std::to_string(reports[i].state) + "/" +
                           std::to_string(reports[i].checkPoint));
        }
    }
    return runs;
}

const std::vector<std::string> kStartedAndStopped = {"2/1", "4/0", "3/1", "1/0"};

// The workers end at once here (no Hyper-V, nothing to upgrade); a stop after they ended takes
// the handler's report, one for each StopMonitor and one poll.
TEST(ServiceLifecycle, StartAndStopReportEveryStatusAndCheckpoint) {
    ServiceMachine machine;
    ASSERT_TRUE(machine.InstallAndStart());
    ASSERT_TRUE(machine.WaitForTrace("Exiting InstallerUpdates::DoMonitor()"));
    ASSERT_TRUE(machine.WaitForTrace("Exiting HyperVMonitor::DoMonitor()"));

    size_t reportsBefore = machine.Reports().size();
    // An interrogation is only traced: no status is reported and the service goes on running.
    EXPECT_EQ(machine.Sim("control 4"), 0);
    EXPECT_EQ(machine.Reports().size(), reportsBefore);
    EXPECT_TRUE(machine.Traced("Entering ServiceCtrlHandler - dwCode=4"));
    EXPECT_NE(machine.Sim("start"), 0);  // a second start is refused

    ASSERT_EQ(machine.Sim("stop"), 0);
    std::vector<StatusReport> reports = machine.Reports();
    EXPECT_EQ(RunsOf(reports, true), (std::vector<std::string>{"2/1", "2/2", "4/0", "3/1", "3/2",
                                                               "3/3", "3/4", "3/5", "1/0"}));
    ExpectCheckpoints(reports);

    machine.ExpectTraceInOrder(
        {"Entering main", "Entering RunService", "Created a stop event.",
         "Entering StartMonitors()", "Starting the hyper-V monitor", "Starting the upgrade monitor",
         "Entering ReportStatus - dwCurrentState=4", "Entering ServiceCtrlHandler - dwCode=1",
         "Stopping the service", "Entering StopMonitors()", "Stopping the hyper-V monitor",
         "Stopping the upgrade monitor", "Exiting StopMonitor() - bSuccess=1",
         "Entering ReportStatus - dwCurrentState=1", "Exiting ServiceCtrlHandler", "Exiting main"});
    // A plain stop is no orderly shutdown: the next start will not report warnings.
    EXPECT_FALSE(machine.Traced("Received pre-shutdown event"));
    EXPECT_FALSE(machine.Traced("Starting the tarvik warnings monitor"));
    EXPECT_EQ(ServiceMachine::ReadValue(test::kZel2Key, kRebootValue), "(none)");
}

// The management provider's warnings, in order; the next start polls them once.
std::string Warnings(const std::vector<std::string>& texts) {
    std::string warnings;
    for (const std::string& text : texts) {
        warnings +=
            (warnings.empty() ? "" : ", ") + std::string(R"({"ErrorCode": 7, "MessageText": ")") +
            text +
            R"(", "MessageType": null, "MessageAction": 1, "reserved": 0, "reserved2": "r"})";
    }
    return R"("management": {"instances": ["A", "B"], "warnings": [)" + warnings + "]}";
}

TEST(ServiceLifecycle, PreShutdownMarksAFreshBootThatTheNextStartConsumes) {
    const std::vector<std::string> warnings = {"Link down", "Team %s degraded", "VLAN mismatch"};
    ServiceMachine machine(std::string(kSetupLibrary) + ", " + Warnings(warnings));
    ASSERT_TRUE(machine.InstallAndStart());
    ASSERT_EQ(machine.Sim("shutdown"), 0);
    machine.ExpectTraceInOrder({"Entering ServiceCtrlHandler - dwCode=15",
                                "Received pre-shutdown event", "Stopping the service",
                                "Exiting StopMonitor() - bSuccess=1"});
    EXPECT_EQ(ServiceMachine::ReadValue(test::kZel2Key, kRebootValue), "1");
    EXPECT_EQ(RunsOf(machine.Reports()), kStartedAndStopped);
    EXPECT_TRUE(machine.Records("libraries.jsonl").empty());

    // The next start consumes the marker, has the setup library look for devices (version 10)
    // and starts the warnings monitor, whose one poll writes each warning to the event log.
    ASSERT_EQ(machine.Sim("start"), 0);
    const char kPassEnd[] = "Exiting TarvikWarnings::UninitializeWMI(),  bSuccess=1";
    ASSERT_TRUE(machine.WaitForTrace(kPassEnd));
    std::vector<std::string> events;
    for (const sim::Json& event : machine.Records("eventlog.jsonl")) {
        for (const sim::Json& text : test::Field(event, "strings").Items()) {
            events.push_back(text.String());
        }
    }
    EXPECT_EQ(events, warnings);
    machine.ExpectTraceInOrder(
        {"Starting the upgrade monitor", "Fresh reboot detected",
         "Detected Win10 Setup on fresh boot", "Calling SetupZEL2 to check for unregistred devices",
         "Starting the tarvik warnings monitor", "Entering ReportStatus - dwCurrentState=4"});
    EXPECT_EQ(ServiceMachine::ReadValue(test::kZel2Key, kRebootValue), "(none)");
    std::vector<sim::Json> calls = machine.Records("libraries.jsonl");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(test::Fields(calls[0], {"library", "export", "process"}),
              "ZEL2Setp.dll|RegisterZel2|" + std::to_string(machine.Status().dwProcessId));

    // The warnings monitor polled once. (A stop by the service control manager alone leaves no
    // marker: StartAndStopReportEveryStatusAndCheckpoint.)
    ASSERT_EQ(machine.Sim("stop"), 0);
    EXPECT_EQ(machine.Records("wmi-calls.jsonl").size(), 3u);  // one poll in all
    ExpectCheckpoints(machine.Reports());
}

TEST(ServiceLifecycle, FreshBootOnOtherMachines) {
    struct Case {
        const char* name;
        std::string settings;
        unsigned marker;
        bool freshBoot, win10;
    };
    const Case cases[] = {
        // The warnings monitor starts even when the setup library is not there.
        {"version 10, no setup library", "", 1, true, true},
        {"version 6.3",
         std::string(R"("os": {"major": 6, "minor": 3, "build": 9600}, )") + kSetupLibrary, 1, true,
         false},
        // Any value but 1 is no fresh boot, and is deleted all the same.
        {"marker 0", kSetupLibrary, 0, false, false},
        {"marker 2", kSetupLibrary, 2, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceMachine machine(
            c.settings,
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
            "\"Reboot_Detected\"=dword:" +
                std::to_string(c.marker) + "\n");
        ASSERT_TRUE(machine.InstallAndStart());
        if (c.freshBoot) {
            ASSERT_TRUE(machine.WaitForTrace("Exiting TarvikWarnings::SpawnThread()"));
        }
        EXPECT_EQ(machine.Traced("Fresh reboot detected"), c.freshBoot);
        EXPECT_EQ(machine.Traced("Starting the tarvik warnings monitor"), c.freshBoot);
        EXPECT_EQ(machine.Traced("Detected Win10 Setup on fresh boot"), c.win10);
        // No case has both the library and version 10: the call is never made.
        EXPECT_FALSE(machine.Traced("Calling SetupZEL2 to check for unregistred devices"));
        EXPECT_TRUE(machine.Records("libraries.jsonl").empty());
        EXPECT_EQ(ServiceMachine::ReadValue(test::kZel2Key, kRebootValue), "(none)");
        EXPECT_EQ(machine.Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        ASSERT_EQ(machine.Sim("stop"), 0);
    }
}

// On 64-bit Windows the 32-bit service's HKLM\SOFTWARE is WOW6432Node and its system32 is
// SysWOW64: a DCB program only in the 64-bit System32 is never run (what the upgrade monitor does
// then, its unit test pins; that values only in the 64-bit view are not the service's, Wine's
// lifecycle shows on the real executable).
TEST(ServiceLifecycle, TheServiceSeesTheMachineAsA32BitProcessDoes) {
    for (const std::string directory : {"SysWOW64", "System32"}) {
        SCOPED_TRACE(directory);
        bool found = directory == "SysWOW64";
        ServiceMachine machine(DcbSettings(R"("runSeconds": 0)", directory), kDcbRegistry);
        ASSERT_TRUE(machine.InstallAndStart());
        ASSERT_TRUE(machine.WaitForTrace(found ? "Exiting CompleteDcbUpgrade"
                                               : "Unable to unregister the DCB service"));
        ASSERT_EQ(machine.Sim("stop"), 0);
        EXPECT_EQ(machine.Records("processes.jsonl").size(), found ? 2u : 0u);
    }
}

// The upgrade monitor waits for a DCB program that never ends: the stop gives up after 30 to 31
// seconds of the machine's clock and the service stays stop-pending; removing it then leaves it
// registered.
TEST(ServiceLifecycle, AMonitorThatWillNotStopLeavesTheServiceStopPending) {
    ServiceMachine machine(DcbSettings(R"("neverExits": true)"), kDcbRegistry);
    ASSERT_TRUE(machine.InstallAndStart());
    ASSERT_TRUE(machine.WaitForTrace(kUnregisterDcb));

    EXPECT_NE(machine.Sim("stop --timeout 1"), 0);
    EXPECT_TRUE(machine.Traced("ERROR:  Maximum timeout exceeded in waiting for monitors to stop"));
    EXPECT_TRUE(machine.Traced("Exiting StopMonitor() - bSuccess=0"));

    std::vector<StatusReport> reports = machine.Reports();
    ExpectCheckpoints(reports);
    ASSERT_EQ(RunsOf(reports), (std::vector<std::string>{"2/1", "4/0", "3/1"}));
    auto firstStop = std::find_if(reports.begin(), reports.end(),
                                  [](const StatusReport& r) { return r.state == 3; });
    ASSERT_NE(firstStop, reports.end());
    long long waited = reports.back().tick - firstStop->tick;
    EXPECT_GE(waited, 29000);
    EXPECT_LE(waited, 32000);

    // -u finds it stopping and does not send a stop of its own.
    EXPECT_EQ(machine.Run("-u"), 0);
    machine.ExpectTraceInOrder(
        {"Entering WaitOnStatus - bStartService=0", "New status is pending.  Current State=3",
         "Exiting WaitOnStatus - bServiceChanged=0",
         "ERROR:  Unable to stop the service in the wait time provided",
         "Exiting MarkServiceForDelete - Success=0", "The service did not uninstall."});
    EXPECT_EQ(machine.Registered(), static_cast<DWORD>(ERROR_SUCCESS));
}

// Each DCB command runs one second of the machine's clock: a stop during the first waits for
// both, with a checkpoint every 100 ms, and reports stopped within a poll of the monitor's end.
// The slower clock keeps real-time jitter small against a poll.
TEST(ServiceLifecycle, TheStopWaitPollsEvery100Ms) {
    ServiceMachine machine(DcbSettings(R"("runSeconds": 1)") +
                               R"(, "clock": {"scale": 2, "localTime": "2020-01-01T12:00:00"})",
                           kDcbRegistry);
    ASSERT_TRUE(machine.InstallAndStart());
    ASSERT_TRUE(machine.WaitForTrace(kUnregisterDcb));
    ASSERT_EQ(machine.Sim("stop"), 0);

    std::vector<StatusReport> reports = machine.Reports();
    ExpectCheckpoints(reports);
    ASSERT_EQ(RunsOf(reports), kStartedAndStopped);
    // The polls follow the handler's report, StopMonitors' first and one after each StopMonitor.
    std::vector<long long> polls, intervals;
    for (const StatusReport& report : reports) {
        if (report.state == SERVICE_STOP_PENDING && report.checkPoint >= 5) {
            if (!polls.empty()) {
                intervals.push_back(report.tick - polls.back());
            }
            polls.push_back(report.tick);
        }
    }
    // Never more often than every 100 ms of the machine's clock, and mostly no later.
    ASSERT_GE(intervals.size(), 5u);
    EXPECT_GE(polls.back() - polls.front(), static_cast<long long>(intervals.size()) * 100 - 20);
    std::sort(intervals.begin(), intervals.end());
    // Processes share the machine's clock but not its scheduling: sanitizers and a busy machine
    // stretch a poll, so the bounds leave room a one-second poll could never fit in.
    EXPECT_LT(intervals[intervals.size() / 2], 300);

    // Stopped follows the end of the second command, the monitor's last act. The service's own
    // teardown runs at the host's speed (about 600 ms of machine time at scale 2 under
    // AddressSanitizer), so the bound only rules out a further wait of a second; the polls above
    // pin the 100 ms.
    std::vector<sim::Json> commands = machine.Records("processes.jsonl");
    ASSERT_EQ(commands.size(), 2u);
    long long ended = test::DayMs(test::Field(commands[1], "time").String()) + 1000;
    EXPECT_GE(reports.back().dayMs, ended);
    EXPECT_LE(reports.back().dayMs, ended + 1000);
}

// Each failing call of the service's host, from a console or started and then stopped by the
// service control manager: its lines, and the statuses reported.
// A failed start reports stopped from the service thread, which traces on while main returns and
// the static trace object is destroyed: Windows ends such a thread with its process. That race is
// the process model's, so the thread sanitizer skips the failed starts.
#if defined(__SANITIZE_THREAD__)
const bool kFailedStartsRun = false;
#else
const bool kFailedStartsRun = true;
#endif
const std::vector<std::string> kFailedStart = {"2/1", "1/0"};

TEST(ServiceLifecycle, AFailingHostCallIsTracedAndReported) {
    struct Case {
        const char* fault;  // function, error and call of the one fault
        std::vector<std::string> lines;
        std::vector<std::string> runs = {};
        std::string settings = {}, registry = {};
    };
    const Case cases[] = {
        {"", {"ERROR:  The program is being run as a console application and not as a service."}},
        {R"("StartServiceCtrlDispatcherW", "error": 1056)",
         {"WARNING:  The service is already running."}},
        {R"("StartServiceCtrlDispatcherW", "error": 5)",
         {"ERROR:  Unable to start the dispatcher - error=5"}},
        {R"("LoadLibraryW", "error": 126)",
         {"ERROR:  Unable to load OLEAUT32.DLL!", "Exiting DisableCaching()", "Exiting main"},
         kStartedAndStopped},
        {R"("GetProcAddress", "error": 127)",
         {"ERROR:  Unable to retrieve function!", "Exiting DisableCaching()", "Exiting main"},
         kStartedAndStopped},
        // A lost report costs nothing but itself.
        {R"("SetServiceStatus", "error": 6, "call": 1)",
         {"Exiting main"},
         {"2/2", "4/0", "3/1", "1/0"}},
        {R"("RegisterServiceCtrlHandlerExW", "error": 5)",
         {"ERROR:  Unable to register service control handler.", "Exiting RunService"}},
        {R"("CreateEventW", "error": 8)",
         {"Stop event is NULL - error=8", "Exiting main"},
         kFailedStart},
        // The upgrade monitor that did start runs on, and outlives the wait at the process's end.
        {R"("CreateThread", "error": 8, "call": 2)",
         {"ERROR:  Unable to start the hyper-v monitor", "Starting the upgrade monitor",
          "Exiting main", "ERROR:  Unable to stop the monitor!"},
         kFailedStart,
         DcbSettings(R"("neverExits": true)"),
         kDcbRegistry},
        // The hyper-V monitor is never asked to stop: stop-pending for good.
        {R"("CreateThread", "error": 8, "call": 4)",
         {"ERROR:  Unable to stop the hyper-v monitor", "Stopping the upgrade monitor",
          "Exiting StopMonitor() - bSuccess=0"},
         {"2/1", "4/0", "3/1"}},
    };
    for (const Case& c : cases) {
        if (!kFailedStartsRun && c.runs == kFailedStart) {
            continue;
        }
        SCOPED_TRACE(c.fault);
        std::string settings = c.settings;
        if (*c.fault != '\0') {
            settings += (settings.empty() ? "" : ", ") +
                        std::string(R"("faults": [{"function": )") + c.fault + "}]";
        }
        ServiceMachine machine(settings, c.registry);
        // Without a fault, or with the dispatcher's, the program is run from a console.
        if (*c.fault != '\0' && std::strstr(c.fault, "Dispatcher") == nullptr) {
            ASSERT_EQ(machine.Run("-i"), 0);
            machine.Sim("start --timeout 2");
            if (machine.Status().dwCurrentState == SERVICE_RUNNING) {
                machine.Sim("stop --timeout 2");
            }
        } else {
            EXPECT_EQ(machine.Run(""), 0);
        }
        ASSERT_TRUE(machine.WaitForTrace(c.lines.back()));
        machine.ExpectTraceInOrder(c.lines);
        EXPECT_EQ(RunsOf(machine.Reports()), c.runs);
    }
}

TEST(ServiceLifecycle, Switches) {
    ServiceMachine machine;
    // Switches are compared case-sensitively, and only the first counts.
    struct Case {
        const char* arguments;
        const char* traced;
        DWORD registered;
    };
    const Case cases[] = {
        {"-I", "Unexpected parameter - -I", ERROR_SERVICE_DOES_NOT_EXIST},
        {"install -i", "Unexpected parameter - install", ERROR_SERVICE_DOES_NOT_EXIST},
        {"-install -u", "Successfully installed the service", ERROR_SUCCESS},
        {"-uninstall -i", "Successfully uninstalled the service.", ERROR_SERVICE_DOES_NOT_EXIST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(machine.Run(c.arguments), 0);
        EXPECT_TRUE(machine.Traced(c.traced));
        EXPECT_EQ(machine.Registered(), c.registered);
        // Each run begins a new trace file.
        std::vector<std::string> trace = machine.Trace();
        EXPECT_EQ(std::count(trace.begin(), trace.end(), "Entering main"), 1);
    }
    EXPECT_TRUE(machine.Reports().empty());
}

}  // namespace
