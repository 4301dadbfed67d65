// A machine for the real OTarvikMonitor executable: the executable placed in its drive, the
// management software's registry keys, and what the scenarios need to drive and observe it:
// tarvik-sim, the program run with a switch, the status reports and the trace file.
#pragma once

#include <windows.h>

#include "Machine/Settings/Json.h"
#include "Machine/Settings/MachineBuilder.h"
#include "Machine/Services/Services.h"
#include "Machine/Utf.h"
#include "Support/Records.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace test {

const WCHAR kServiceName[] = TEXT("Orvex(R) Tarvik Monitoring Service");
const char kServiceNameText[] = "Orvex(R) Tarvik Monitoring Service";
const WCHAR kServiceKey[] =
    TEXT("SYSTEM\\CurrentControlSet\\Services\\Orvex(R) Tarvik Monitoring Service");
const WCHAR kZel2Key[] = TEXT("SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");

// The management software's keys as the installer leaves them: the trace goes into ZEL2's
// "InstalledDir".
const char kManagementRegistry[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
    "\"InstalledDir\"=\"C:\\\\Program Files\\\\Orvex\\\\ZEL2\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\TALM]\n"
    "\"InstallDir\"=\"C:\\\\Program Files\\\\Orvex\\\\TALM\\\\\"\n";

// The Hyper-V management service, registered (registry.reg) and running, and one team over one
// port: the start of machine.json's members, before "hyperv".
const char kVmmsRegistry[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vmms]\n"
    "\"Type\"=dword:00000010\n\"ImagePath\"=\"vmms.exe\"\n";
const char kTeamA[] = "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}";
const char kOneTeam[] = R"("services": [{"name": "vmms"}],
    "adapters": [{"guid": "{3F1C0A10-5B2E-4C7D-9A01-0000000000A1}", "name": "Port 1"},
                 {"guid": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}", "name": "Team A"}],
    "teams": [{"adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}",
               "members": ["{3F1C0A10-5B2E-4C7D-9A01-0000000000A1}"]}], )";

// Polls `done` every 10 ms of real time, for at most `seconds`.
template <typename Predicate>
bool WaitUntil(Predicate done, int seconds = 20) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline int ExitCodeOf(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A member of an output record; a missing one fails the test and reads as null.
inline const sim::Json& Field(const sim::Json& record, const char* name) {
    static const sim::Json kMissing;
    const sim::Json* member = record.Find(name);
    if (member == nullptr) {
        ADD_FAILURE() << "a record without \"" << name << "\"";
        return kMissing;
    }
    return *member;
}

// A record's time, "YYYY-MM-DDThh:mm:ss.mmm", in milliseconds since midnight; -1 if malformed.
inline long long DayMs(const std::string& time) {
    unsigned hour = 0, minute = 0, second = 0, ms = 0;
    if (std::sscanf(time.c_str(), "%*d-%*d-%*dT%u:%u:%u.%u", &hour, &minute, &second, &ms) != 4) {
        return -1;
    }
    return ((hour * 60LL + minute) * 60 + second) * 1000 + ms;
}

struct StatusReport {
    long long state, checkPoint, accepted, tick;
    std::string from;
    long long dayMs;
};

class ServiceMachine {
public:
    // `settings`: further members of machine.json (after a comma), `registry`: further
    // registry.reg text. The executable lies in `installDir` (a Windows path under C:\), which
    // is also the current directory its processes start in. The clock runs 50 times as fast
    // unless `settings` sets "clock".
    explicit ServiceMachine(const std::string& settings = "", const std::string& registry = "",
                            const std::string& installDir = "C:\\Program Files\\Orvex\\TALM")
        : m_machine(MachineJson(installDir, settings),
                    std::string(kManagementRegistry) + "\n" + registry) {
        // The adapters and teams machine.json declares, written into the registry.
        EXPECT_EQ(sim::BuildMachine(m_machine.Dir()), static_cast<DWORD>(ERROR_SUCCESS));
        m_machine.MakeDirectory("drive_c/Program Files/Orvex/ZEL2");
        m_machine.MakeDirectory(DrivePath(installDir));
        std::filesystem::create_symlink(
            TARVIK_SERVICE_EXE, m_machine.PathOf(DrivePath(installDir) + "/OTarvikMonitor.exe"));
    }

    ~ServiceMachine() {
        // A service left running (or stuck stopping) ends with the test; one that stopped is
        // let finish its exit, whose sanitizer reports count too.
        SERVICE_STATUS_PROCESS status = Status();
        if (status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId > 0) {
            kill(static_cast<pid_t>(status.dwProcessId), SIGKILL);
        }
        EXPECT_TRUE(WaitForExit());
        std::string log = m_machine.ReadFile("scm-host.log") + m_machine.ReadFile("runs.log");
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
        // Every process of the service released what it held, but for the one registration the
        // warnings monitor makes in the global interface table.
        for (const sim::Json& record : Records("com-ledger.jsonl")) {
            for (const char* count : {"objects", "strings", "arrays", "badFrees"}) {
                EXPECT_EQ(Field(record, count).Number(), 0) << count;
            }
            EXPECT_LE(Field(record, "globalTable").Number(), 1);
        }
    }

    static std::string MachineJson(const std::string& installDir, const std::string& settings) {
        std::string escaped;
        for (char c : installDir) {
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        bool clock = settings.find("\"clock\"") != std::string::npos;
        return std::string("{") + (clock ? "" : "\"clock\": {\"scale\": 50}, ") +
               "\"currentDirectory\": \"" + escaped + "\"" +
               (settings.empty() ? "" : ", " + settings) + "}";
    }

    const TestMachine& Machine() const { return m_machine; }

    // Runs the executable as an administrator would, without a service control manager; its
    // exit code. Its output goes to runs.log (checked for sanitizer reports).
    int Run(const std::string& arguments) {
        return ExitCodeOf("TARVIK_SERVICE_HOST= TARVIK_MACHINE='" + m_machine.Dir() + "' '" +
                          TARVIK_SERVICE_EXE + "' " + arguments + " >>'" +
                          m_machine.PathOf("runs.log") + "' 2>&1");
    }

    // tarvik-sim on this machine and the service; its exit code. A stop or shutdown that
    // succeeded also waits for the service's process to end: the service control manager takes
    // no new start while it is still there.
    // The service's processes write their leak ledger at exit.
    int Sim(const std::string& arguments) {
        int code = ExitCodeOf("TARVIK_COM_LEDGER=1 " + std::string(TARVIK_SIM) + " -m '" +
                              m_machine.Dir() + "' -s '" + test::kServiceNameText + "' " +
                              arguments + " >/dev/null 2>&1");
        std::string verb = arguments.substr(0, arguments.find(' '));  // not stop-vm
        if (code == 0 && (verb == "stop" || verb == "shutdown")) {
            EXPECT_TRUE(WaitForExit());
        }
        return code;
    }

    bool InstallAndStart() { return Run("-i") == 0 && Sim("start") == 0; }

    bool WaitForExit() const {
        return WaitUntil([] { return !sim::services::Hosted(kServiceName); });
    }

    std::vector<StatusReport> Reports() const {
        std::vector<StatusReport> reports;
        for (const sim::Json& record : Records("scm.jsonl")) {
            auto number = [&](const char* name) {
                return static_cast<long long>(Field(record, name).Number());
            };
            reports.push_back({number("state"), number("checkPoint"), number("controlsAccepted"),
                               number("tick"), Field(record, "from").String(),
                               DayMs(Field(record, "time").String())});
        }
        return reports;
    }
    std::vector<sim::Json> Records(const std::string& file) const { return test::Records(file); }

    // The messages of the trace file (each line without its header), in order.
    std::vector<std::string> Trace() const {
        std::vector<std::string> messages;
        std::string text = m_machine.ReadFile("drive_c/Program Files/Orvex/ZEL2/TARVIKMonitor.txt");
        size_t begin = 0;
        for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
            std::string line = text.substr(begin, end - begin);
            size_t tabs = line.find("\t\t");
            messages.push_back(tabs == std::string::npos ? line : line.substr(tabs + 2));
        }
        return messages;
    }

    bool Traced(const std::string& message) const {
        std::vector<std::string> trace = Trace();
        return std::find(trace.begin(), trace.end(), message) != trace.end();
    }

    bool WaitForTrace(const std::string& message) const {
        return WaitUntil([&] { return Traced(message); });
    }

    // Fails the test unless `expected` appear in the trace in this order (others may lie
    // between them).
    void ExpectTraceInOrder(const std::vector<std::string>& expected) const {
        std::vector<std::string> trace = Trace();
        auto at = trace.begin();
        for (const std::string& message : expected) {
            at = std::find(at, trace.end(), message);
            if (at == trace.end()) {
                ADD_FAILURE() << "not traced (in this order): " << message;
                return;
            }
            ++at;
        }
    }

    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS status = {};
        test::ScopedService manager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
        test::ScopedService service(OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS));
        DWORD needed = 0;
        if (service) {
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                 sizeof(status), &needed);
        }
        return status;
    }

    // The service's registration: ERROR_SUCCESS or the error of OpenServiceW.
    DWORD Registered() const {
        test::ScopedService manager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
        SetLastError(0xdeadbeef);
        test::ScopedService service(OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG));
        return service ? ERROR_SUCCESS : GetLastError();
    }

    // A value under HKEY_LOCAL_MACHINE as text: a REG_DWORD in decimal, a string as UTF-8,
    // "(none)" when there is none.
    static std::string ReadValue(const WCHAR* key, const WCHAR* name) {
        alignas(char16_t) BYTE data[2048] = {};  // zeros after the longest string read
        DWORD type = 0, size = sizeof(data) - sizeof(char16_t);
        test::ScopedKey handle;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, handle.Receive()) !=
                ERROR_SUCCESS ||
            RegQueryValueExW(handle, name, NULL, &type, data, &size) != ERROR_SUCCESS) {
            return "(none)";
        }
        if (type == REG_DWORD && size == sizeof(DWORD)) {
            DWORD value = 0;
            memcpy(&value, data, sizeof(value));
            return std::to_string(value);
        }
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            return sim::Utf16ToUtf8(reinterpret_cast<const char16_t*>(data));
        }
        return "(type " + std::to_string(type) + ")";
    }

private:
    static std::string DrivePath(const std::string& windowsPath) {
        std::string path = "drive_c" + windowsPath.substr(2);
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }

    TestMachine m_machine;
};

}  // namespace test
