// The process's environment block: what a process started on the machine inherits (Temp, TMP,
// SystemRoot, windir and machine.json's "environment"), with case-insensitive names.
#pragma once

#include "Machine/Settings/Settings.h"

#include <optional>
#include <string>
#include <vector>

namespace sim {

class Environment {
public:
    explicit Environment(const MachineSettings& settings);

    std::optional<std::u16string> Get(const std::u16string& name) const;

private:
    void Set(const std::u16string& name, const std::u16string& value);
    size_t Find(const std::u16string& name) const;  // npos when absent

    std::vector<std::pair<std::u16string, std::u16string>> m_variables;
};

// Case-insensitive comparison of names as Windows makes it for ASCII letters.
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
char16_t UpperAscii(char16_t c);

}  // namespace sim
