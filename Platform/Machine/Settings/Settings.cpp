#include "Machine/Settings/Settings.h"

#include "Machine/Processes/Environment.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Settings/Json.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Settings/SettingsReader.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace sim {

SettingsError::SettingsError(const std::string& file, int line, const std::string& setting,
                             const std::string& what)
    : std::runtime_error(file + ":" + std::to_string(line) + ": " +
                         (setting.empty() ? what : "setting \"" + setting + "\": " + what)) {}

namespace {

void ReadOs(SettingsReader& r, OsSettings& os) {
    r.Unsigned("major", os.major, 0xFFFFFFFF);
    r.Unsigned("minor", os.minor, 0xFFFFFFFF);
    r.Unsigned("build", os.build, 0xFFFFFFFF);
    r.Unsigned("platformId", os.platformId, 0xFFFFFFFF);
    r.Unsigned("productType", os.productType, 255);
    r.Unsigned("architecture", os.architecture, 0xFFFF);
    r.Boolean("hasGetNativeSystemInfo", os.hasGetNativeSystemInfo);
    r.Boolean("rtlGetVersionFails", os.rtlGetVersionFails);
}

void ReadClock(SettingsReader& r, ClockSettings& clock) {
    if (const Json* v = r.Get("scale", Json::Kind::Number)) {
        if (!(v->Number() > 0)) {
            r.Fail("scale", "expected a number above 0");
        }
        clock.scale = v->Number();
    }
    r.Unsigned("startTick", clock.startTick, 0xFFFFFFFF);
    std::string mode = clock.virtualTime ? "virtual" : "scaled";
    r.Text("mode", mode);
    if (mode != "scaled" && mode != "virtual") {
        r.Fail("mode", "expected \"scaled\" or \"virtual\"");
    }
    clock.virtualTime = mode == "virtual";
    r.Text("localTime", clock.localTime);
    if (!clock.localTime.empty()) {
        int y, mo, d, h, mi, s;
        char tail;
        if (std::sscanf(clock.localTime.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi,
                        &s, &tail) != 6 ||
            mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) {
            r.Fail("localTime", "expected \"YYYY-MM-DDThh:mm:ss\"");
        }
    }
}

void ReadProgram(SettingsReader& r, ProgramSettings& program) {
    r.Text("path", program.path);
    if (program.path.empty()) {
        r.Fail(r.Self(), "a program needs a \"path\"");
    }
    if (const Json* v = r.Get("runSeconds", Json::Kind::Number)) {
        if (v->Number() < 0) {
            r.Fail("runSeconds", "expected a number of seconds, 0 or more");
        }
        program.runSeconds = v->Number();
    }
    bool never = false;
    r.Boolean("neverExits", never);
    if (never && program.runSeconds) {
        r.Fail("neverExits", "a program that never exits has no \"runSeconds\"");
    }
    if (!never && !program.runSeconds) {
        program.runSeconds = 0;
    }
    r.Unsigned("exitCode", program.exitCode, 0xFFFFFFFF);
}

void ReadExport(SettingsReader& r, LibrarySettings& library, const Json& item, size_t index) {
    std::string name;
    ExportSettings call;
    if (item.IsString()) {
        name = item.String();
    } else if (item.IsObject()) {
        SettingsReader e(r, "exports[" + std::to_string(index) + "]", item);
        e.Text("name", name);
        if (const Json* v = e.Get("result", Json::Kind::Number)) {
            double n = v->Number();
            if (std::floor(n) != n || n < -2147483648.0 || n > 4294967295.0) {
                e.Fail("result", "expected a whole number from -2147483648 to 4294967295");
            }
            call.result = static_cast<long long>(n);
        }
        e.Unsigned("arguments", call.arguments, 4);
    }
    if (name.empty()) {
        r.Fail(item, "\"exports\" lists function names or {\"name\", \"result\", \"arguments\"}");
    }
    if (library.calls.count(name) != 0) {
        r.Fail(item, "\"" + name + "\" is exported twice");
    }
    library.exports.push_back(name);
    library.calls[name] = call;
}

void ReadString(SettingsReader& r, const std::string& number, const Json& text,
                std::map<UINT, std::u16string>& table) {
    char* end = nullptr;
    unsigned long id = std::strtoul(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || id > 0xFFFF) {
        r.Fail(text, "string numbers are 0 to 65535");
    }
    if (!text.IsString()) {
        r.Fail(text, "expected a string");
    }
    table[static_cast<UINT>(id)] = Utf8ToUtf16(text.String());
}

void ReadLibrary(SettingsReader& r, LibrarySettings& library) {
    r.Text("name", library.name);
    if (library.name.empty()) {
        r.Fail(r.Self(), "a library needs a \"name\"");
    }
    if (const Json* v = r.Get("exports", Json::Kind::Array)) {
        for (size_t i = 0; i < v->Items().size(); ++i) {
            ReadExport(r, library, v->Items()[i], i);
        }
    }
    // Numbers at the top are the neutral table; a language holds a table of its own.
    if (const Json* v = r.Get("strings", Json::Kind::Object)) {
        for (const auto& member : v->Members()) {
            if (member.second.IsObject()) {
                WORD language = LanguageId(member.first);
                if (language == 0) {
                    r.Fail(member.second, "\"" + member.first +
                                              "\" is not a language this machine knows "
                                              "(\"en-US\", \"de-DE\", ...)");
                }
                for (const auto& string : member.second.Members()) {
                    ReadString(r, string.first, string.second, library.strings[language]);
                }
            } else {
                ReadString(r, member.first, member.second, library.strings[0]);
            }
        }
    }
}

void ReadFault(SettingsReader& r, FaultSettings& fault) {
    r.Text("function", fault.function);
    if (fault.function.empty()) {
        r.Fail(r.Self(), "a fault needs a \"function\"");
    }
    if (!r.Get("error", Json::Kind::Number)) {
        r.Fail(r.Self(), "a fault needs an \"error\"");
    }
    r.Unsigned("error", fault.error, 0xFFFFFFFF);
    r.Unsigned("call", fault.call, 0xFFFFFFFF);
}

void ReadAccount(SettingsReader& r, AccountSettings& account) {
    if (r.Get("privileges", Json::Kind::Array)) {
        account.privileges.clear();
    }
    r.Array("privileges", [&](SettingsReader& item) {
        PrivilegeSettings privilege;
        item.Text("name", privilege.name);
        if (privilege.name.empty()) {
            item.Fail(item.Self(), "a privilege needs a \"name\"");
        }
        if (PrivilegeLuid(privilege.name) == 0) {
            item.Fail("name", "Windows has no such privilege");
        }
        for (const PrivilegeSettings& earlier : account.privileges) {
            if (PrivilegeLuid(earlier.name) == PrivilegeLuid(privilege.name)) {
                item.Fail("name", "this privilege is listed twice");
            }
        }
        item.Boolean("enabled", privilege.enabled);
        account.privileges.push_back(privilege);
    });
}

void ReadService(SettingsReader& r, ServiceSettings& service) {
    r.Text("name", service.name);
    if (service.name.empty()) {
        r.Fail(r.Self(), "a service needs a \"name\"");
    }
    static const char* const kStates[] = {"stopped", "startPending",    "stopPending",
                                          "running", "continuePending", "pausePending",
                                          "paused"};
    std::string state = "running";
    r.Text("state", state);
    for (DWORD i = 0; i < 7; ++i) {
        if (state == kStates[i]) {
            service.state = i + 1;
            return;
        }
    }
    r.Fail("state",
           "expected \"stopped\", \"startPending\", \"stopPending\", \"running\", "
           "\"continuePending\", \"pausePending\" or \"paused\"");
}

struct Locale {
    const char* name;
    WORD id;
    UINT ansiCodePage;
};

const Locale kLocales[] = {
    {"zh-TW", 0x0404, 950},  {"zh-CN", 0x0804, 936},  {"de-DE", 0x0407, 1252},
    {"de-AT", 0x0C07, 1252}, {"de-CH", 0x0807, 1252}, {"en-US", 0x0409, 1252},
    {"en-GB", 0x0809, 1252}, {"fr-FR", 0x040C, 1252}, {"fr-CA", 0x0C0C, 1252},
    {"it-IT", 0x0410, 1252}, {"ja-JP", 0x0411, 932},  {"ko-KR", 0x0412, 949},
    {"pt-BR", 0x0416, 1252}, {"pt-PT", 0x0816, 1252}, {"es-ES", 0x0C0A, 1252},
    {"es-MX", 0x080A, 1252}, {"nl-NL", 0x0413, 1252}, {"pl-PL", 0x0415, 1250},
    {"ru-RU", 0x0419, 1251}, {"sv-SE", 0x041D, 1252},
};

}  // namespace

WORD LanguageId(const std::string& name) {
    for (const Locale& locale : kLocales) {
        if (EqualNoCase(Utf8ToUtf16(name), Utf8ToUtf16(locale.name))) {
            return locale.id;
        }
    }
    return 0;
}

UINT LocaleAnsiCodePage(WORD language) {
    for (const Locale& locale : kLocales) {
        if (locale.id == language) {
            return locale.ansiCodePage;
        }
    }
    return 0;
}

MachineSettings ParseSettings(const std::string& text, const std::string& fileName) {
    Json root = ParseSettingsFile(text, fileName);
    MachineSettings settings;
    SettingsReader r(fileName, "", root);
    r.Object("os", [&](SettingsReader& os) { ReadOs(os, settings.os); });
    r.Unsigned("codePage", settings.ansiCodePage, 65535);
    if (settings.ansiCodePage != 1252 && settings.ansiCodePage != 65001 &&
        settings.ansiCodePage != 28591) {
        r.Fail("codePage", "this machine knows the code pages 1252, 28591 and 65001");
    }
    r.Text("uiLanguage", settings.uiLanguage);
    if (LanguageId(settings.uiLanguage) == 0) {
        r.Fail("uiLanguage", "not a language this machine knows (\"en-US\", \"de-DE\", ...)");
    }
    r.Text("temp", settings.temp);
    r.Text("currentDirectory", settings.currentDirectory);
    r.Object("environment", [&](SettingsReader& env) {
        for (const auto& member : env.Self().Members()) {
            std::u16string value;
            env.Text(member.first, value);
            settings.environment[Utf8ToUtf16(member.first)] = value;
        }
    });
    r.Object("clock", [&](SettingsReader& clock) { ReadClock(clock, settings.clock); });
    r.Array("programs", [&](SettingsReader& item) {
        settings.programs.emplace_back();
        ReadProgram(item, settings.programs.back());
    });
    r.Array("libraries", [&](SettingsReader& item) {
        settings.libraries.emplace_back();
        ReadLibrary(item, settings.libraries.back());
    });
    size_t exports = 0;
    for (const LibrarySettings& library : settings.libraries) {
        exports += library.exports.size();
    }
    if (exports > kMaxDeclaredExports) {
        r.Fail("libraries",
               "at most " + std::to_string(kMaxDeclaredExports) + " exports in all libraries");
    }
    r.Array("faults", [&](SettingsReader& item) {
        settings.faults.emplace_back();
        ReadFault(item, settings.faults.back());
    });
    r.Object("account", [&](SettingsReader& account) { ReadAccount(account, settings.account); });
    ReadDevices(r, root, settings);
    r.Array("services", [&](SettingsReader& item) {
        settings.services.emplace_back();
        ReadService(item, settings.services.back());
        for (size_t i = 0; i + 1 < settings.services.size(); ++i) {
            if (RegNamesEqual(settings.services[i].name, settings.services.back().name)) {
                item.Fail("name", "another service has this name");
            }
        }
    });
    r.Boolean("wmi", settings.wmiInstalled);
    r.Object("management", [&](SettingsReader& management) {
        settings.management.emplace();
        ReadManagement(management, *settings.management);
    });
    if (const Json* v = r.Get("hyperv", Json::Kind::Object)) {
        try {
            settings.hyperv = ReadTopology(*v, fileName, "hyperv");
        } catch (const TopologyError& e) {
            throw SettingsError(e.what());
        }
        // An external port not named otherwise takes the name of the adapter declared here.
        for (HyperVSwitch& virtualSwitch : settings.hyperv->switches) {
            for (const AdapterSettings& adapter : settings.adapters) {
                if (!virtualSwitch.adapter.empty() &&
                    virtualSwitch.adapterName == virtualSwitch.adapter &&
                    EqualNoCase(adapter.guid, virtualSwitch.adapter) && !adapter.name.empty()) {
                    virtualSwitch.adapterName = adapter.name;
                }
            }
        }
    }
    return settings;
}

MachineSettings LoadSettings(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw SettingsError(path, 0, "", "cannot be read");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseSettings(text.str(), path);
}

}  // namespace sim
