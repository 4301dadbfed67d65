#include "Machine/Processes/Environment.h"

namespace sim {

char16_t UpperAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) {
            return false;
        }
    }
    return true;
}

Environment::Environment(const MachineSettings& settings) {
    Set(u"SystemRoot", u"C:\\Windows");
    Set(u"windir", u"C:\\Windows");
    Set(u"TEMP", settings.temp);
    Set(u"TMP", settings.temp);
    for (const auto& variable : settings.environment) {
        Set(variable.first, variable.second);
    }
}

size_t Environment::Find(const std::u16string& name) const {
    for (size_t i = 0; i < m_variables.size(); ++i) {
        if (EqualNoCase(m_variables[i].first, name)) {
            return i;
        }
    }
    return std::u16string::npos;
}

std::optional<std::u16string> Environment::Get(const std::u16string& name) const {
    size_t i = Find(name);
    if (i == std::u16string::npos) {
        return std::nullopt;
    }
    return m_variables[i].second;
}

void Environment::Set(const std::u16string& name, const std::u16string& value) {
    size_t i = Find(name);
    if (i == std::u16string::npos) {
        m_variables.emplace_back(name, value);
    } else {
        m_variables[i].second = value;
    }
}

}  // namespace sim
