#include "Machine/Settings/SettingsReader.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

std::u16string Upper(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return text;
}

void ReadAdapter(SettingsReader& r, AdapterSettings& adapter) {
    r.Text("guid", adapter.guid);
    if (!IsGuidText(adapter.guid)) {
        if (r.Self().Find("guid") == nullptr) {
            r.Fail(r.Self(), "an adapter needs a \"guid\"");
        }
        r.Fail("guid", "expected a GUID such as {00000000-0000-0000-0000-000000000000}");
    }
    r.Text("name", adapter.name);
    r.Text("mfg", adapter.mfg);
    r.Text("instanceId", adapter.instanceId);
    adapter.instanceId = Upper(adapter.instanceId);
    if (r.Self().Find("instanceId") != nullptr) {
        size_t first = adapter.instanceId.find(u'\\');
        size_t second =
            first == std::u16string::npos ? first : adapter.instanceId.find(u'\\', first + 1);
        if (first == 0 || second == std::u16string::npos || second == first + 1 ||
            second + 1 == adapter.instanceId.size() ||
            adapter.instanceId.find(u'\\', second + 1) != std::u16string::npos) {
            r.Fail("instanceId", "expected \"ENUMERATOR\\\\DEVICE\\\\INSTANCE\"");
        }
    }
}

// The driver's answers by name, or any status as a number or "0x" text.
DWORD ReadStatus(SettingsReader& r) {
    const Json* v = r.Any("status");
    if (v == nullptr) {
        return 0;
    }
    if (v->IsNumber() && v->Number() >= 0 && v->Number() <= 4294967295.0 &&
        std::floor(v->Number()) == v->Number()) {
        return static_cast<DWORD>(v->Number());
    }
    if (v->IsString()) {
        const std::string& text = v->String();
        if (text == "success") {
            return 0;
        }
        if (text == "notSupported") {
            return 0xC00000BB;
        }
        if (text == "failure") {
            return 0xC0000001;
        }
        char* end = nullptr;
        unsigned long long n = std::strtoull(text.c_str(), &end, 16);
        if (text.size() > 2 && text.compare(0, 2, "0x") == 0 && *end == '\0' && n <= 0xFFFFFFFF) {
            return static_cast<DWORD>(n);
        }
    }
    r.Fail("status",
           "expected \"success\", \"notSupported\", \"failure\" or a status such as "
           "\"0xC0010014\"");
}

void ReadTeam(SettingsReader& r, TeamSettings& team, size_t index) {
    r.Text("adapter", team.adapter);
    if (team.adapter.empty()) {
        r.Fail(r.Self(), "a team needs an \"adapter\" (the GUID of its virtual adapter)");
    }
    if (const Json* v = r.Get("members", Json::Kind::Array)) {
        for (const Json& item : v->Items()) {
            if (!item.IsString()) {
                r.Fail(item, "\"members\" lists adapters by GUID");
            }
            team.members.push_back(Utf8ToUtf16(item.String()));
        }
    }
    if (team.members.empty()) {
        if (r.Self().Find("members") == nullptr) {
            r.Fail(r.Self(), "a team needs at least one member");
        }
        r.Fail("members", "a team needs at least one member");
    }
    team.privateDevice = "OBRXCTL" + std::to_string(index + 1);
    if (const Json* v = r.Any("privateDevice")) {
        if (v->IsNull()) {
            team.privateDevice.reset();
        } else if (!v->IsString()) {
            r.Fail("privateDevice", "expected a device name or null (no private device)");
        } else {
            team.privateDevice = v->String();
            // Answered as 8-bit text in a 252-byte buffer, terminator included.
            bool plain = !team.privateDevice->empty() && team.privateDevice->size() <= 251;
            for (char c : *team.privateDevice) {
                plain = plain && c > ' ' && c < 0x7F && c != '\\' && c != '/';
            }
            if (!plain) {
                r.Fail("privateDevice", "expected 1 to 251 printable ASCII characters, no slashes");
            }
        }
    }
    team.status = ReadStatus(r);
    r.Unsigned("ioctlError", team.ioctlError, 0xFFFFFFFF);
}

// Names between adapters and teams: each GUID and instance identifier once, every team naming
// declared adapters, each private device name once.
void CheckDevices(const std::string& file, const Json& root, MachineSettings& settings) {
    const Json* adapters = root.Find("adapters");
    const Json* teams = root.Find("teams");
    // At the member's line, or the item's when the member was defaulted.
    auto fail = [&](const Json* list, size_t index, const std::string& member,
                    const std::string& what) {
        const Json& item = list->Items()[index];
        const Json* at = item.Find(member);
        std::string name = std::string(list == adapters ? "adapters[" : "teams[") +
                           std::to_string(index) + "]." + member;
        throw SettingsError(file, (at ? *at : item).Line(), name, what);
    };
    std::map<std::u16string, size_t> byGuid;
    std::map<std::u16string, size_t> byInstance;
    unsigned rootNumber = 0;
    for (size_t i = 0; i < settings.adapters.size(); ++i) {
        AdapterSettings& adapter = settings.adapters[i];
        if (!byGuid.emplace(Upper(adapter.guid), i).second) {
            fail(adapters, i, "guid", "another adapter has this GUID");
        }
        if (adapter.instanceId.empty()) {
            char number[8];
            std::snprintf(number, sizeof(number), "%04u", rootNumber++);
            adapter.instanceId = u"ROOT\\NET\\" + Utf8ToUtf16(number);
        }
        if (!byInstance.emplace(adapter.instanceId, i).second) {
            fail(adapters, i, "instanceId", "another adapter has this instance identifier");
        }
    }
    std::map<std::string, size_t> privateNames;
    std::map<std::u16string, size_t> teamAdapters;
    for (size_t i = 0; i < settings.teams.size(); ++i) {
        TeamSettings& team = settings.teams[i];
        if (byGuid.count(Upper(team.adapter)) == 0) {
            fail(teams, i, "adapter", "no adapter has this GUID");
        }
        if (!teamAdapters.emplace(Upper(team.adapter), i).second) {
            fail(teams, i, "adapter", "another team has this adapter");
        }
        for (const std::u16string& member : team.members) {
            if (byGuid.count(Upper(member)) == 0 || Upper(member) == Upper(team.adapter)) {
                fail(teams, i, "members",
                     "\"" + Utf16ToUtf8(member) + "\" is not another adapter's GUID");
            }
        }
        if (team.privateDevice) {
            std::string upper;
            for (char c : *team.privateDevice) {
                upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            if (!privateNames.emplace(upper, i).second) {
                fail(teams, i, "privateDevice", "another team has this private device");
            }
        }
    }
}

}  // namespace

void ReadDevices(SettingsReader& r, const Json& root, MachineSettings& settings) {
    r.Array("adapters", [&](SettingsReader& item) {
        settings.adapters.emplace_back();
        ReadAdapter(item, settings.adapters.back());
    });
    r.Array("teams", [&](SettingsReader& item) {
        settings.teams.emplace_back();
        ReadTeam(item, settings.teams.back(), settings.teams.size() - 1);
    });
    CheckDevices(r.File(), root, settings);
}

}  // namespace sim
