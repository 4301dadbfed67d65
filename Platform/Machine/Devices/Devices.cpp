#include "Machine/Devices/Devices.h"

#include <winerror.h>
#include <winreg.h>

#include <cstring>

namespace sim {

const char16_t kEnumPath[] = u"SYSTEM\\CurrentControlSet\\Enum";
const char16_t kClassPath[] = u"SYSTEM\\CurrentControlSet\\Control\\Class";
const char16_t kTeamAdaptersPath[] =
    u"SYSTEM\\CurrentControlSet\\Services\\oBRXProtocol\\Parameters\\Adapters";
const char16_t kNetClassGuid[] = u"{4d36e972-e325-11ce-bfc1-08002be10318}";
const char16_t kNetInterfaceClass[] = u"{AD498944-762F-11D0-8DCB-00C04FC3358C}";

namespace {

const RegKey* Machine(const RegKey& tree) {
    return tree.SubKey(u"HKEY_LOCAL_MACHINE");
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

bool ParseHex(const std::u16string& text, size_t at, size_t digits, unsigned long* value) {
    *value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        int digit = HexDigit(text[i]);
        if (digit < 0) {
            return false;
        }
        *value = (*value << 4) | static_cast<unsigned long>(digit);
    }
    return true;
}

}  // namespace

bool ParseGuid(const std::u16string& text, GUID* guid) {
    if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' ||
        text[14] != u'-' || text[19] != u'-' || text[24] != u'-') {
        return false;
    }
    unsigned long part;
    GUID result{};
    if (!ParseHex(text, 1, 8, &part)) {
        return false;
    }
    result.Data1 = static_cast<DWORD>(part);
    if (!ParseHex(text, 10, 4, &part)) {
        return false;
    }
    result.Data2 = static_cast<WORD>(part);
    if (!ParseHex(text, 15, 4, &part)) {
        return false;
    }
    result.Data3 = static_cast<WORD>(part);
    static const size_t kBytes[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(text, kBytes[i], 2, &part)) {
            return false;
        }
        result.Data4[i] = static_cast<BYTE>(part);
    }
    *guid = result;
    return true;
}

std::u16string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

DWORD ListDevices(const RegKey& tree, const GUID* classGuid, const std::u16string& enumerator,
                  std::vector<DeviceEntry>* devices) {
    devices->clear();
    const RegKey* machine = Machine(tree);
    const RegKey* enumKey = machine ? machine->Find(kEnumPath) : nullptr;
    if (!enumerator.empty() && (enumKey == nullptr || enumKey->SubKey(enumerator) == nullptr)) {
        return ERROR_INVALID_DATA;
    }
    if (enumKey == nullptr) {
        return ERROR_SUCCESS;
    }
    for (const auto& byEnumerator : enumKey->SubKeys()) {
        const RegKey& bus = *byEnumerator.second;
        if (!enumerator.empty() && !RegNamesEqual(bus.Name(), enumerator)) {
            continue;
        }
        for (const auto& byDevice : bus.SubKeys()) {
            for (const auto& byInstance : byDevice.second->SubKeys()) {
                std::u16string text;
                DeviceEntry entry;
                if (!ReadString(*byInstance.second, u"ClassGUID", &text) ||
                    !ParseGuid(text, &entry.classGuid)) {
                    continue;  // a device with no class is not in any class's set
                }
                if (classGuid != nullptr &&
                    std::memcmp(classGuid, &entry.classGuid, sizeof(GUID)) != 0) {
                    continue;
                }
                entry.instanceId = bus.Name() + u"\\" + byDevice.second->Name() + u"\\" +
                                   byInstance.second->Name();
                devices->push_back(std::move(entry));
            }
        }
    }
    return ERROR_SUCCESS;
}

const RegKey* DeviceKey(const RegKey& tree, const std::u16string& instanceId) {
    const RegKey* machine = Machine(tree);
    const RegKey* enumKey = machine ? machine->Find(kEnumPath) : nullptr;
    return enumKey && !instanceId.empty() ? enumKey->Find(instanceId) : nullptr;
}

std::u16string DriverKeyPath(const RegKey& device) {
    std::u16string driver;
    if (!ReadString(device, u"Driver", &driver) || driver.empty()) {
        return std::u16string();
    }
    return std::u16string(kClassPath) + u"\\" + driver;
}

std::vector<TeamAdapterDevice> ListTeamAdapters(const RegKey& tree) {
    std::vector<TeamAdapterDevice> teams;
    const RegKey* machine = Machine(tree);
    const RegKey* protocol = machine ? machine->Find(kTeamAdaptersPath) : nullptr;
    if (protocol == nullptr) {
        return teams;
    }
    std::vector<std::u16string> bindings;
    for (const auto& member : protocol->SubKeys()) {
        for (std::u16string& entry : ReadMultiString(*member.second, u"MiniportBindingList")) {
            bindings.push_back(RegUpcase(entry));
        }
    }
    std::vector<DeviceEntry> devices;
    GUID net;
    ParseGuid(kNetClassGuid, &net);
    ListDevices(tree, &net, std::u16string(), &devices);
    for (const DeviceEntry& device : devices) {
        const RegKey* key = DeviceKey(tree, device.instanceId);
        std::u16string driverPath = key ? DriverKeyPath(*key) : std::u16string();
        const RegKey* driver = driverPath.empty() ? nullptr : machine->Find(driverPath);
        std::u16string guid;
        if (driver == nullptr || !ReadString(*driver, u"NetCfgInstanceId", &guid) || guid.empty()) {
            continue;
        }
        std::u16string upper = RegUpcase(guid);
        bool named = false;
        for (const std::u16string& binding : bindings) {
            named = named || binding.find(upper) != std::u16string::npos;
        }
        if (named) {
            TeamAdapterDevice team;
            team.guid = guid;
            team.instanceId = device.instanceId;
            team.interfaceName = device.instanceId + u"#" + kNetInterfaceClass;
            for (char16_t& c : team.interfaceName) {
                c = c == u'\\' ? u'#' : c;
            }
            teams.push_back(std::move(team));
        }
    }
    return teams;
}

DeviceInfoSets& DeviceInfoSets::Get() {
    static DeviceInfoSets* sets = new DeviceInfoSets();
    return *sets;
}

DWORD DeviceInfoSets::NodeOf(const std::u16string& instanceId) {
    std::u16string key = RegUpcase(instanceId);
    auto found = m_nodes.find(key);
    if (found != m_nodes.end()) {
        return found->second;
    }
    // Node numbers as the configuration manager gives them: small, stable while the process
    // runs; 1 is the root of the device tree.
    DWORD node = static_cast<DWORD>(m_nodes.size()) + 2;
    m_nodes.emplace(key, node);
    return node;
}

void* DeviceInfoSets::Add(std::vector<DeviceEntry> devices) {
    auto set = std::make_shared<Set>();
    std::lock_guard<std::mutex> hold(m_lock);
    for (const DeviceEntry& device : devices) {
        set->devInst.push_back(NodeOf(device.instanceId));
    }
    set->devices = std::move(devices);
    uintptr_t value = m_next;
    m_next += 8;
    m_sets.emplace(value, std::move(set));
    return reinterpret_cast<void*>(value);
}

std::shared_ptr<const DeviceInfoSets::Set> DeviceInfoSets::Find(void* handle) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_sets.find(reinterpret_cast<uintptr_t>(handle));
    return found == m_sets.end() ? nullptr : found->second;
}

bool DeviceInfoSets::Destroy(void* handle) {
    std::shared_ptr<const Set> last;
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_sets.find(reinterpret_cast<uintptr_t>(handle));
    if (found == m_sets.end()) {
        return false;
    }
    last = std::move(found->second);
    m_sets.erase(found);
    return true;
}

}  // namespace sim
