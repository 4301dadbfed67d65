// The service control manager's side of the machine: the service database in the registry
// (HKLM\SYSTEM\CurrentControlSet\Services\<name>, as Windows keeps it), the process's service
// handles, and the run state of services.
//
// A service runs when a host (tarvik-sim start, ServiceHost.h) holds it: the host listens on a
// socket in the machine directory named after the service, and every process asks it for the
// status and sends it controls. A service no host holds is stopped, unless machine.json declares
// it in a state (services that run on the machine without an executable of ours).
//
// Deletion: DeleteService writes "DeleteFlag" = 1 into the service's key (Windows does too); the
// key goes when the last handle of the process that closes it is closed and no host runs it, or
// when its host ends. Handles of other processes are not counted.
#pragma once

#include <windef.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct ServiceStatus {
    DWORD type = 0x10;  // SERVICE_WIN32_OWN_PROCESS
    DWORD state = 1;    // SERVICE_STOPPED
    DWORD controlsAccepted = 0;
    DWORD exitCode = 0;
    DWORD specificExitCode = 0;
    DWORD checkPoint = 0;
    DWORD waitHint = 0;
    DWORD processId = 0;
};

// The status as the socket protocol carries it: eight numbers separated by blanks.
std::string FormatStatus(const ServiceStatus& status);
bool ParseStatus(const std::string& text, ServiceStatus* status);
const char* StateName(DWORD state);  // "RUNNING", ...; "?" for none

struct ServiceConfig {
    std::u16string name;  // as the key is named
    std::u16string displayName;
    std::u16string imagePath;
    std::u16string description;
    std::u16string objectName;
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    bool markedForDelete = false;
};

namespace services {

extern const char16_t kServicesKey[];  // below HKEY_LOCAL_MACHINE

// Win32 errors: ERROR_SERVICE_EXISTS, ERROR_SERVICE_MARKED_FOR_DELETE,
// ERROR_DUPLICATE_SERVICE_NAME.
DWORD Create(const ServiceConfig& config);
// ERROR_SERVICE_DOES_NOT_EXIST when the database has no service of that name (any letter case).
DWORD Find(const std::u16string& name, ServiceConfig* config);
DWORD SetDescription(const std::u16string& name, const std::u16string& description);
DWORD MarkForDelete(const std::u16string& name);
// Removes the service's key if it is marked for deletion and no host runs it.
void RemoveIfMarked(const std::u16string& name);
// Every service of the database (keys with a "Type" value).
std::vector<ServiceConfig> All();

// The socket a service's host listens on.
std::string HostSocketPath(const std::string& machineDir, const std::u16string& name);
// The status: from the host, else the state machine.json declares, else stopped.
ServiceStatus Query(const std::u16string& name);
// Whether a host holds the service now.
bool Hosted(const std::u16string& name);
// Sends a control through the host; `status` is the status after the handler returned (also on
// most failures, as ControlService fills it). ERROR_SERVICE_NOT_ACTIVE when nothing runs it.
DWORD Control(const std::u16string& name, DWORD control, ServiceStatus* status);

}  // namespace services

// The process's handles to the manager and to services.
class ServiceHandles {
public:
    struct Entry {
        bool manager = false;
        std::u16string name;  // a service's name as the database spells it
        DWORD access = 0;
    };
    static ServiceHandles& Get();
    void* Add(Entry entry);
    bool Find(void* handle, Entry* entry);
    // False when `handle` names nothing; `*lastOfService` when no other handle of this process
    // names the same service.
    bool Close(void* handle, Entry* entry, bool* lastOfService);

private:
    ServiceHandles() = default;
    std::mutex m_lock;
    std::map<uintptr_t, Entry> m_entries;
    uintptr_t m_next = 0x5000;
};

}  // namespace sim
