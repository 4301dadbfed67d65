// What machine.json says about a machine: the things a registry cannot say.
#pragma once

#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Wmi/ManagementProvider.h"
#include "Machine/Utf.h"

#include <windef.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

struct OsSettings {
    DWORD major = 10;
    DWORD minor = 0;
    DWORD build = 17763;
    DWORD platformId = 2;   // VER_PLATFORM_WIN32_NT
    BYTE productType = 3;   // VER_NT_SERVER
    WORD architecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64; 0 x86, 6 IA64
    bool hasGetNativeSystemInfo = true;
    bool rtlGetVersionFails = false;
};

struct ClockSettings {
    double scale = 1.0;        // machine seconds per real second
    DWORD startTick = 0;       // GetTickCount when the machine's clock starts
    bool virtualTime = false;  // time moves only while every thread of a process waits
    std::string localTime;     // "YYYY-MM-DDThh:mm:ss" at the clock's start; empty: the host's
};

struct ProgramSettings {
    std::u16string path;               // Windows path of the executable
    std::optional<double> runSeconds;  // on the machine's clock; none: never exits
    DWORD exitCode = 0;
};

// What a call of a declared export does: it sees its first `arguments` integer arguments and
// returns `result`.
struct ExportSettings {
    long long result = 0;
    unsigned arguments = 0;  // 0 to 4
};

// A library on the machine's disk: a file name ("ZEL2Setp.dll", in the system directory) or a
// full Windows path.
struct LibrarySettings {
    std::u16string name;
    std::vector<std::string> exports;             // function names, in the order declared
    std::map<std::string, ExportSettings> calls;  // by export name; every export has one
    // Its string table by LANGID (0: the neutral entry), each table by string number.
    std::map<WORD, std::map<UINT, std::u16string>> strings;
};
// How many declared exports a machine can have in all.
constexpr size_t kMaxDeclaredExports = 64;

struct FaultSettings {
    std::string function;  // a Win32 function's name, as the code calls it
    DWORD error = 0;       // Win32 error code or HRESULT the call gives
    unsigned call = 0;     // the n-th call fails (1-based); 0: every call
};

// A network-class device; the machine builder writes it into the registry.
struct AdapterSettings {
    std::u16string guid;  // NetCfgInstanceId, "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    std::u16string name;  // DeviceDesc, FriendlyName and the class key's DriverDesc
    std::u16string mfg = u"Orvex";
    std::u16string instanceId;  // "ENUMERATOR\DEVICE\INSTANCE", upper case; default ROOT\NET\nnnn
};

// An adapter team of the teaming driver: its virtual adapter and members (adapters by GUID, as
// the builder writes them into the protocol's configuration) and how the driver answers.
struct TeamSettings {
    std::u16string adapter;
    std::vector<std::u16string> members;
    std::optional<std::string> privateDevice;  // the control device's name; none: it has none
    DWORD status = 0;                          // NDIS status answered to the interface list
    DWORD ioctlError = 0;                      // not 0: the request fails with this error
};

// A privilege of the service's account, and whether it starts enabled.
struct PrivilegeSettings {
    std::string name;  // "SeShutdownPrivilege"
    bool enabled = false;
};
// What a service running as LocalSystem holds; the default account.
std::vector<PrivilegeSettings> LocalSystemPrivileges();
// Windows' LUID of a privilege named in any letter case; 0 for no such privilege.
DWORD PrivilegeLuid(const std::string& name);

struct AccountSettings {
    std::vector<PrivilegeSettings> privileges = LocalSystemPrivileges();
};

// A service that runs on the machine without an executable of ours, in a fixed state.
struct ServiceSettings {
    std::u16string name;
    DWORD state = 4;  // SERVICE_RUNNING
};

struct MachineSettings {
    OsSettings os;
    UINT ansiCodePage = 1252;
    std::string uiLanguage = "en-US";  // a name LanguageId knows
    std::u16string temp = u"C:\\Windows\\Temp";
    std::u16string currentDirectory = u"C:\\";
    std::map<std::u16string, std::u16string> environment;  // besides Temp and TMP
    ClockSettings clock;
    std::vector<ProgramSettings> programs;
    std::vector<LibrarySettings> libraries;
    std::vector<FaultSettings> faults;
    AccountSettings account;
    std::vector<AdapterSettings> adapters;
    std::vector<TeamSettings> teams;
    std::vector<ServiceSettings> services;
    std::optional<HyperVTopology> hyperv;          // none: the machine has no Hyper-V namespace
    bool wmiInstalled = true;                      // false: no WMI locator to create
    std::optional<ManagementSettings> management;  // none: no "root\orvexzel2" namespace
};

// A setting that cannot be taken, named by file, line and setting path ("clock.scale").
class SettingsError : public std::runtime_error {
public:
    SettingsError(const std::string& file, int line, const std::string& setting,
                  const std::string& what);
    // A message that names file, line and entry already (a TopologyError's).
    explicit SettingsError(const std::string& message) : std::runtime_error(message) {}
};

// Reads and checks a whole machine.json; throws SettingsError and returns nothing half loaded.
MachineSettings LoadSettings(const std::string& path);
MachineSettings ParseSettings(const std::string& text, const std::string& fileName);

// The LANGID of a locale name the machine knows ("de-DE" 0x0407); 0 for none.
WORD LanguageId(const std::string& name);
// The default ANSI code page of a locale the machine knows, by LANGID (0x0419: 1251); 0 for none.
UINT LocaleAnsiCodePage(WORD language);

}  // namespace sim
