// Reading a machine file's settings: walks one JSON object, checking every member's type and
// refusing unknown members, and names a bad one by file, line and setting path
// ("machine.json:3: setting "clock.scale": expected a number, found a string").
#pragma once

#include "Machine/Settings/Json.h"
#include "Machine/Settings/Settings.h"

#include <cmath>
#include <functional>
#include <map>
#include <string>

namespace sim {

// A machine file's JSON; a syntax error throws SettingsError naming the file and the line.
Json ParseSettingsFile(const std::string& text, const std::string& file);

class SettingsReader {
public:
    // `path` names `object` in messages ("hyperv.vms[1]"); empty: the file's top object.
    SettingsReader(const std::string& file, const std::string& path, const Json& object);
    // A reader for an object inside this one's member `key`.
    SettingsReader(const SettingsReader& outer, const std::string& key, const Json& object);
    // Refuses the members nobody asked for, unless an error is already on its way.
    ~SettingsReader() noexcept(false);

    // The member `key`, or null when absent; throws when it is not of `kind`.
    const Json* Get(const std::string& key, Json::Kind kind);
    // A member of any kind, for settings that take more than one.
    const Json* Any(const std::string& key);

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

    void Boolean(const std::string& key, bool& out);
    void Text(const std::string& key, std::string& out);
    void Text(const std::string& key, std::u16string& out);
    void Object(const std::string& key, const std::function<void(SettingsReader&)>& read);
    void Array(const std::string& key, const std::function<void(SettingsReader&)>& readItem);

    [[noreturn]] void Fail(const Json& at, const std::string& what) const;
    // At the member's line, or the object's when it is absent.
    [[noreturn]] void Fail(const std::string& key, const std::string& what);
    const Json& Self() const { return m_object; }
    const std::string& File() const { return m_file; }
    const std::string& Path() const { return m_path; }

private:
    std::string Name(const std::string& key) const;

    std::string m_file;
    std::string m_path;
    const Json& m_object;
    std::map<std::string, bool> m_known;
};

// machine.json's adapters[] and teams[], with the names between them checked.
void ReadDevices(SettingsReader& r, const Json& root, MachineSettings& settings);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hexadecimal digits in any letter case.
bool IsGuidText(const std::u16string& text);

}  // namespace sim
