#include "Machine/Services/Services.h"

#include "Machine/Services/LineSocket.h"

#include "Machine/Machine.h"
#include "Machine/Registry/RegistryStore.h"

#include <winerror.h>
#include <winreg.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>

namespace sim {

namespace {

const char16_t kLocalMachine[] = u"HKEY_LOCAL_MACHINE";

std::u16string StringOf(const RegKey& key, const std::u16string& name) {
    std::u16string text;
    ReadString(key, name, &text);
    return text;
}

bool IsService(const RegKey& key) {
    return key.Value(u"Type") != nullptr;
}

ServiceConfig ConfigOf(const RegKey& key) {
    ServiceConfig config;
    config.name = key.Name();
    config.displayName = StringOf(key, u"DisplayName");
    config.imagePath = StringOf(key, u"ImagePath");
    config.description = StringOf(key, u"Description");
    config.objectName = StringOf(key, u"ObjectName");
    config.type = ReadDword(key, u"Type");
    config.start = ReadDword(key, u"Start");
    config.errorControl = ReadDword(key, u"ErrorControl");
    config.markedForDelete = ReadDword(key, u"DeleteFlag") != 0;
    return config;
}

RegKey* ServicesOf(const RegKey& tree) {
    RegKey* machine = tree.SubKey(kLocalMachine);
    return machine != nullptr ? machine->Find(services::kServicesKey) : nullptr;
}

// Applies `change` to the service's key: ERROR_SERVICE_DOES_NOT_EXIST when there is none.
DWORD ChangeService(const std::u16string& name, const std::function<DWORD(RegKey& key)>& change) {
    DWORD result = ERROR_SERVICE_DOES_NOT_EXIST;
    DWORD error = Machine::Get().Registry().Update([&](RegKey& tree) {
        RegKey* all = ServicesOf(tree);
        RegKey* key = all != nullptr ? all->SubKey(name) : nullptr;
        if (key == nullptr || !IsService(*key)) {
            return false;
        }
        result = change(*key);
        return result == ERROR_SUCCESS;
    });
    return result == ERROR_SUCCESS ? error : result;
}

}  // namespace

std::string FormatStatus(const ServiceStatus& s) {
    std::ostringstream out;
    out << s.type << ' ' << s.state << ' ' << s.controlsAccepted << ' ' << s.exitCode << ' '
        << s.specificExitCode << ' ' << s.checkPoint << ' ' << s.waitHint << ' ' << s.processId;
    return out.str();
}

bool ParseStatus(const std::string& text, ServiceStatus* s) {
    std::istringstream in(text);
    ServiceStatus parsed;
    if (!(in >> parsed.type >> parsed.state >> parsed.controlsAccepted >> parsed.exitCode >>
          parsed.specificExitCode >> parsed.checkPoint >> parsed.waitHint >> parsed.processId)) {
        return false;
    }
    *s = parsed;
    return true;
}

const char* StateName(DWORD state) {
    static const char* const kNames[] = {"STOPPED", "START_PENDING",    "STOP_PENDING",
                                         "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING",
                                         "PAUSED"};
    return state >= 1 && state <= 7 ? kNames[state - 1] : "?";
}

namespace services {

const char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";

DWORD Create(const ServiceConfig& config) {
    DWORD result = ERROR_SUCCESS;
    DWORD error = Machine::Get().Registry().Update([&](RegKey& tree) {
        RegKey& machine = tree.AddSubKey(kLocalMachine);
        RegKey* all = &machine;
        for (const char16_t* part : {u"SYSTEM", u"CurrentControlSet", u"Services"}) {
            all = &all->AddSubKey(part);
        }
        if (RegKey* existing = all->SubKey(config.name)) {
            if (IsService(*existing)) {
                result = ReadDword(*existing, u"DeleteFlag") != 0 ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                                  : ERROR_SERVICE_EXISTS;
                return false;
            }
        }
        // A display name names one service: no other service may be called by it either way.
        const std::u16string& display =
            config.displayName.empty() ? config.name : config.displayName;
        for (const auto& sub : all->SubKeys()) {
            const RegKey& other = *sub.second;
            if (IsService(other) && (RegNamesEqual(StringOf(other, u"DisplayName"), display) ||
                                     RegNamesEqual(other.Name(), display))) {
                result = ERROR_DUPLICATE_SERVICE_NAME;
                return false;
            }
        }
        RegKey& key = all->AddSubKey(config.name);
        key.SetValue(DwordValue(u"Type", config.type));
        key.SetValue(DwordValue(u"Start", config.start));
        key.SetValue(DwordValue(u"ErrorControl", config.errorControl));
        key.SetValue(StringValue(u"ImagePath", config.imagePath, REG_EXPAND_SZ));
        key.SetValue(StringValue(u"DisplayName", display));
        key.SetValue(StringValue(u"ObjectName",
                                 config.objectName.empty() ? u"LocalSystem" : config.objectName));
        return true;
    });
    return result != ERROR_SUCCESS ? result : error;
}

DWORD Find(const std::u16string& name, ServiceConfig* config) {
    DWORD result = ERROR_SERVICE_DOES_NOT_EXIST;
    Machine::Get().Registry().Read([&](const RegKey& tree) {
        RegKey* all = ServicesOf(tree);
        RegKey* key = all != nullptr ? all->SubKey(name) : nullptr;
        if (key != nullptr && IsService(*key)) {
            *config = ConfigOf(*key);
            result = ERROR_SUCCESS;
        }
    });
    return result;
}

DWORD SetDescription(const std::u16string& name, const std::u16string& description) {
    return ChangeService(name, [&](RegKey& key) -> DWORD {
        if (ReadDword(key, u"DeleteFlag") != 0) {
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        }
        key.SetValue(StringValue(u"Description", description));
        return ERROR_SUCCESS;
    });
}

DWORD MarkForDelete(const std::u16string& name) {
    return ChangeService(name, [&](RegKey& key) -> DWORD {
        if (ReadDword(key, u"DeleteFlag") != 0) {
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        }
        key.SetValue(DwordValue(u"DeleteFlag", 1));
        return ERROR_SUCCESS;
    });
}

void RemoveIfMarked(const std::u16string& name) {
    if (Hosted(name)) {
        return;
    }
    Machine::Get().Registry().Update([&](RegKey& tree) {
        RegKey* all = ServicesOf(tree);
        RegKey* key = all != nullptr ? all->SubKey(name) : nullptr;
        if (key == nullptr || ReadDword(*key, u"DeleteFlag") == 0) {
            return false;
        }
        return all->RemoveSubKey(name);
    });
}

std::vector<ServiceConfig> All() {
    std::vector<ServiceConfig> all;
    Machine::Get().Registry().Read([&](const RegKey& tree) {
        if (RegKey* services = ServicesOf(tree)) {
            for (const auto& sub : services->SubKeys()) {
                if (IsService(*sub.second)) {
                    all.push_back(ConfigOf(*sub.second));
                }
            }
        }
    });
    return all;
}

std::string HostSocketPath(const std::string& machineDir, const std::u16string& name) {
    // FNV-1a of the upper-cased name: service names are case-insensitive and may hold any
    // character, socket file names should not.
    std::string upper = Utf16ToUtf8(RegUpcase(name));
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char c : upper) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "scm-%016llx.sock", hash);
    return machineDir + "/" + text;
}

bool Hosted(const std::u16string& name) {
    Machine& machine = Machine::Get();
    std::string reply;
    return !machine.InMemory() && Ask(HostSocketPath(machine.Dir(), name), "query", &reply);
}

ServiceStatus Query(const std::u16string& name) {
    Machine& machine = Machine::Get();
    ServiceStatus status;
    std::string reply;
    if (!machine.InMemory() && Ask(HostSocketPath(machine.Dir(), name), "query", &reply) &&
        ParseStatus(reply, &status)) {
        return status;
    }
    for (const ServiceSettings& declared : machine.Settings().services) {
        if (RegNamesEqual(declared.name, name)) {
            status.state = declared.state;
            // It runs in a process of the machine's own, which nobody can stop from here.
            status.processId = declared.state != 1 ? 4 : 0;
            return status;
        }
    }
    return status;
}

DWORD Control(const std::u16string& name, DWORD control, ServiceStatus* status) {
    Machine& machine = Machine::Get();
    std::string reply;
    if (!machine.InMemory() &&
        Ask(HostSocketPath(machine.Dir(), name), "control " + std::to_string(control), &reply)) {
        // "<error> <status>"
        std::istringstream in(reply);
        DWORD error = ERROR_BROKEN_PIPE;
        std::string rest;
        if (in >> error && std::getline(in, rest) && ParseStatus(rest, status)) {
            return error;
        }
        return ERROR_BROKEN_PIPE;
    }
    *status = Query(name);
    if (status->state == 1) {
        return ERROR_SERVICE_NOT_ACTIVE;
    }
    // A declared service answers an interrogation and accepts nothing else.
    return control == 4 ? ERROR_SUCCESS : ERROR_INVALID_SERVICE_CONTROL;
}

}  // namespace services

ServiceHandles& ServiceHandles::Get() {
    static ServiceHandles* table = new ServiceHandles();
    return *table;
}

void* ServiceHandles::Add(Entry entry) {
    std::lock_guard<std::mutex> hold(m_lock);
    uintptr_t handle = m_next;
    m_next += 4;
    m_entries[handle] = std::move(entry);
    return reinterpret_cast<void*>(handle);
}

bool ServiceHandles::Find(void* handle, Entry* entry) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_entries.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_entries.end()) {
        return false;
    }
    *entry = found->second;
    return true;
}

bool ServiceHandles::Close(void* handle, Entry* entry, bool* lastOfService) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_entries.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_entries.end()) {
        return false;
    }
    *entry = found->second;
    m_entries.erase(found);
    *lastOfService = true;
    for (const auto& other : m_entries) {
        if (!other.second.manager && !entry->manager &&
            RegNamesEqual(other.second.name, entry->name)) {
            *lastOfService = false;
        }
    }
    return true;
}

}  // namespace sim
