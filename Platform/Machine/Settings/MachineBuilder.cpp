#include "Machine/Settings/MachineBuilder.h"

#include "Machine/Devices/Devices.h"
#include "Machine/Registry/RegistryStore.h"

#include <winerror.h>
#include <sysinfoapi.h>
#include <winreg.h>

#include <unistd.h>

#include <filesystem>

#include <cstdio>
#include <map>

namespace sim {

namespace {

std::u16string FourDigits(unsigned number) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04u", number);
    return Utf8ToUtf16(text);
}

// The driver key an adapter had from an earlier build, else the first free number.
std::u16string DriverKeyName(const RegKey& classKey, const RegKey& device,
                             const std::u16string& guid) {
    std::u16string driver;
    std::u16string prefix = std::u16string(kNetClassGuid) + u"\\";
    if (ReadString(device, u"Driver", &driver) && driver.size() > prefix.size() &&
        RegNamesEqual(driver.substr(0, prefix.size()), prefix)) {
        return driver.substr(prefix.size());
    }
    for (const auto& sub : classKey.SubKeys()) {
        std::u16string id;
        if (ReadString(*sub.second, u"NetCfgInstanceId", &id) && RegNamesEqual(id, guid)) {
            return sub.second->Name();
        }
    }
    for (unsigned number = 0;; ++number) {
        if (classKey.SubKey(FourDigits(number)) == nullptr) {
            return FourDigits(number);
        }
    }
}

}  // namespace

void ExpandDevices(const MachineSettings& settings, RegKey& tree) {
    RegKey& machine = tree.AddSubKey(u"HKEY_LOCAL_MACHINE");
    if (!settings.adapters.empty()) {
        RegKey& classes = machine.AddSubKey(u"SYSTEM")
                              .AddSubKey(u"CurrentControlSet")
                              .AddSubKey(u"Control")
                              .AddSubKey(u"Class");
        bool made = false;
        RegKey& net = classes.AddSubKey(u"{4D36E972-E325-11CE-BFC1-08002BE10318}", &made);
        if (made) {
            net.SetValue(StringValue(u"", u"Network adapters"));
            net.SetValue(StringValue(u"Class", u"Net"));
        }
        for (const AdapterSettings& adapter : settings.adapters) {
            RegKey* device = &machine;
            for (const char16_t* path : {u"SYSTEM", u"CurrentControlSet", u"Enum"}) {
                device = &device->AddSubKey(path);
            }
            size_t first = adapter.instanceId.find(u'\\');
            size_t second = adapter.instanceId.find(u'\\', first + 1);
            std::u16string hardwareId = adapter.instanceId.substr(first + 1, second - first - 1);
            device = &device->AddSubKey(adapter.instanceId.substr(0, first))
                          .AddSubKey(hardwareId)
                          .AddSubKey(adapter.instanceId.substr(second + 1));
            std::u16string driverName = DriverKeyName(net, *device, adapter.guid);
            RegKey& driver = net.AddSubKey(driverName);

            device->SetValue(StringValue(u"DeviceDesc", adapter.name));
            device->SetValue(StringValue(u"FriendlyName", adapter.name));
            device->SetValue(MultiStringValue(u"HardwareID", {hardwareId}));
            device->SetValue(StringValue(u"Class", u"Net"));
            device->SetValue(StringValue(u"ClassGUID", kNetClassGuid));
            device->SetValue(
                StringValue(u"Driver", std::u16string(kNetClassGuid) + u"\\" + driverName));
            device->SetValue(StringValue(u"Mfg", adapter.mfg));
            device->SetValue(DwordValue(u"ConfigFlags", 0));

            driver.SetValue(StringValue(u"DriverDesc", adapter.name));
            driver.SetValue(StringValue(u"ProviderName", adapter.mfg));
            driver.SetValue(StringValue(u"NetCfgInstanceId", adapter.guid));
        }
    }
    if (!settings.teams.empty()) {
        RegKey* adapters = &machine;
        for (const char16_t* path : {u"SYSTEM", u"CurrentControlSet", u"Services", u"oBRXProtocol",
                                     u"Parameters", u"Adapters"}) {
            adapters = &adapters->AddSubKey(path);
        }
        // A member of several teams binds each of their adapters' miniports.
        std::map<std::u16string, std::vector<std::u16string>> bindings;
        std::map<std::u16string, std::u16string> memberNames;
        for (const TeamSettings& team : settings.teams) {
            for (const std::u16string& member : team.members) {
                memberNames.emplace(RegUpcase(member), member);
                bindings[RegUpcase(member)].push_back(u"\\DEVICE\\" + team.adapter);
            }
        }
        for (const auto& member : bindings) {
            adapters->AddSubKey(memberNames[member.first])
                .SetValue(MultiStringValue(u"MiniportBindingList", member.second));
        }
    }
}

DWORD BuildMachine(const std::string& dir) {
    MachineSettings settings;
    std::string settingsPath = dir + "/machine.json";
    if (access(settingsPath.c_str(), F_OK) == 0) {
        settings = LoadSettings(settingsPath);
    }
    // A 64-bit Windows has a system folder for each kind of process.
    std::string windows = dir + "/drive_c/Windows";
    std::error_code ignored;
    if (std::filesystem::is_directory(dir + "/drive_c") &&
        settings.os.architecture != PROCESSOR_ARCHITECTURE_INTEL) {
        std::filesystem::create_directories(windows + "/SysWOW64", ignored);
    }
    if (settings.adapters.empty() && settings.teams.empty()) {
        return ERROR_SUCCESS;
    }
    RegistryStore registry(dir);
    return registry.Update([&](RegKey& tree) {
        ExpandDevices(settings, tree);
        return true;
    });
}

}  // namespace sim
