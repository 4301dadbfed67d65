#include "Machine/Settings.h"

#include "Machine/Json.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>

namespace sim {

SettingsError::SettingsError(const std::string& file, int line, const std::string& setting,
                             const std::string& what)
    : std::runtime_error(file + ":" + std::to_string(line) + ": " +
                         (setting.empty() ? what : "setting \"" + setting + "\": " + what)) {}

namespace {

// Walks one object of the file, checking every member's type and refusing unknown members.
class Reader {
public:
    Reader(const std::string& file, const std::string& path, const Json& object)
        : m_file(file), m_path(path), m_object(object) {
        if (!object.IsObject()) {
            Fail(object,
                 "expected an object, found " + std::string(Json::KindName(object.GetKind())));
        }
    }

    ~Reader() noexcept(false) {
        if (std::uncaught_exceptions() > 0) {
            return;
        }
        for (const auto& member : m_object.Members()) {
            if (m_known.count(member.first) == 0) {
                throw SettingsError(m_file, member.second.Line(), Name(member.first),
                                    "unknown setting");
            }
        }
    }

    const Json* Get(const std::string& key, Json::Kind kind) {
        m_known[key] = true;
        const Json* value = m_object.Find(key);
        if (value != nullptr && value->GetKind() != kind) {
            throw SettingsError(m_file, value->Line(), Name(key),
                                std::string("expected ") + Json::KindName(kind) + ", found " +
                                    Json::KindName(value->GetKind()));
        }
        return value;
    }

    template <typename T>
    void Unsigned(const std::string& key, T& out, double max) {
        if (const Json* v = Get(key, Json::Kind::Number)) {
            double n = v->Number();
            if (n < 0 || n > max || std::floor(n) != n) {
                throw SettingsError(m_file, v->Line(), Name(key),
                                    "expected a whole number from 0 to " +
                                        std::to_string(static_cast<unsigned long long>(max)));
            }
            out = static_cast<T>(n);
        }
    }

    void Boolean(const std::string& key, bool& out) {
        if (const Json* v = Get(key, Json::Kind::Bool)) {
            out = v->Bool();
        }
    }

    void Text(const std::string& key, std::string& out) {
        if (const Json* v = Get(key, Json::Kind::String)) {
            out = v->String();
        }
    }

    void Text(const std::string& key, std::u16string& out) {
        if (const Json* v = Get(key, Json::Kind::String)) {
            out = Utf8ToUtf16(v->String());
        }
    }

    void Object(const std::string& key, const std::function<void(Reader&)>& read) {
        if (const Json* v = Get(key, Json::Kind::Object)) {
            Reader inner(m_file, Name(key), *v);
            read(inner);
        }
    }

    void Array(const std::string& key, const std::function<void(Reader&)>& readItem) {
        if (const Json* v = Get(key, Json::Kind::Array)) {
            for (size_t i = 0; i < v->Items().size(); ++i) {
                Reader inner(m_file, Name(key) + "[" + std::to_string(i) + "]", v->Items()[i]);
                readItem(inner);
            }
        }
    }

    [[noreturn]] void Fail(const Json& at, const std::string& what) const {
        throw SettingsError(m_file, at.Line(), m_path, what);
    }
    [[noreturn]] void Fail(const std::string& key, const std::string& what) {
        const Json* v = m_object.Find(key);
        throw SettingsError(m_file, v ? v->Line() : m_object.Line(), Name(key), what);
    }
    const Json& Self() const { return m_object; }

private:
    std::string Name(const std::string& key) const {
        return m_path.empty() ? key : m_path + "." + key;
    }

    std::string m_file;
    std::string m_path;
    const Json& m_object;
    std::map<std::string, bool> m_known;
};

void ReadOs(Reader& r, OsSettings& os) {
    r.Unsigned("major", os.major, 0xFFFFFFFF);
    r.Unsigned("minor", os.minor, 0xFFFFFFFF);
    r.Unsigned("build", os.build, 0xFFFFFFFF);
    r.Unsigned("platformId", os.platformId, 0xFFFFFFFF);
    r.Unsigned("productType", os.productType, 255);
    r.Unsigned("architecture", os.architecture, 0xFFFF);
    r.Boolean("hasGetNativeSystemInfo", os.hasGetNativeSystemInfo);
    r.Boolean("rtlGetVersionFails", os.rtlGetVersionFails);
}

void ReadClock(Reader& r, ClockSettings& clock) {
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

void ReadProgram(Reader& r, ProgramSettings& program) {
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

void ReadLibrary(Reader& r, LibrarySettings& library) {
    r.Text("name", library.name);
    if (library.name.empty()) {
        r.Fail(r.Self(), "a library needs a \"name\"");
    }
    if (const Json* v = r.Get("exports", Json::Kind::Array)) {
        for (const Json& item : v->Items()) {
            if (!item.IsString() || item.String().empty()) {
                r.Fail(item, "\"exports\" lists function names");
            }
            library.exports.push_back(item.String());
        }
    }
}

void ReadFault(Reader& r, FaultSettings& fault) {
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

}  // namespace

MachineSettings ParseSettings(const std::string& text, const std::string& fileName) {
    Json root;
    try {
        root = Json::Parse(text);
    } catch (const JsonError& e) {
        throw SettingsError(fileName, e.Line(), "", e.what());
    }
    MachineSettings settings;
    Reader r(fileName, "", root);
    r.Object("os", [&](Reader& os) { ReadOs(os, settings.os); });
    r.Unsigned("codePage", settings.ansiCodePage, 65535);
    if (settings.ansiCodePage != 1252 && settings.ansiCodePage != 65001 &&
        settings.ansiCodePage != 28591) {
        r.Fail("codePage", "this machine knows the code pages 1252, 28591 and 65001");
    }
    r.Text("uiLanguage", settings.uiLanguage);
    r.Text("temp", settings.temp);
    r.Text("currentDirectory", settings.currentDirectory);
    r.Object("environment", [&](Reader& env) {
        for (const auto& member : env.Self().Members()) {
            std::u16string value;
            env.Text(member.first, value);
            settings.environment[Utf8ToUtf16(member.first)] = value;
        }
    });
    r.Object("clock", [&](Reader& clock) { ReadClock(clock, settings.clock); });
    r.Array("programs", [&](Reader& item) {
        settings.programs.emplace_back();
        ReadProgram(item, settings.programs.back());
    });
    r.Array("libraries", [&](Reader& item) {
        settings.libraries.emplace_back();
        ReadLibrary(item, settings.libraries.back());
    });
    r.Array("faults", [&](Reader& item) {
        settings.faults.emplace_back();
        ReadFault(item, settings.faults.back());
    });
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

std::u16string Utf8ToUtf16(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        unsigned cp;
        int extra;
        if (c < 0x80) {
            cp = c, extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, extra = 2;
        } else {
            cp = c & 0x07, extra = 3;
        }
        ++i;
        for (int k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(const std::u16string& utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        unsigned cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

}  // namespace sim
