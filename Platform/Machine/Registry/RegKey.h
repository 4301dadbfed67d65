// The registry's tree of keys and values.
//
// Vocabulary: a key has a name (kept in the case it was created with), values in creation order
// and subkeys in the order Windows enumerates them: by name, upper-cased, compared code unit by
// code unit. Names are matched without regard to case. Value data is held exactly as Windows
// stores it: strings are UTF-16LE bytes with whatever terminator the writer gave them. (Wine
// enumerates subkeys in the same order but sorts values by name; we follow Windows.)
#pragma once

#include <windef.h>
#include <winreg.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Upper-cases a name the way the registry compares names (ASCII, Latin-1, Latin Extended-A,
// Greek, Cyrillic and full-width Latin; other characters compare as they are).
std::u16string RegUpcase(const std::u16string& name);
bool RegNamesEqual(const std::u16string& a, const std::u16string& b);

struct RegValue {
    std::u16string name;  // empty: the key's default value
    DWORD type = 0;
    std::vector<BYTE> data;

    bool operator==(const RegValue& other) const {
        return name == other.name && type == other.type && data == other.data;
    }
};

class RegKey {
public:
    explicit RegKey(std::u16string name = std::u16string()) : m_name(std::move(name)) {}

    const std::u16string& Name() const { return m_name; }
    bool IsVolatile() const { return m_volatile; }
    void SetVolatile(bool isVolatile) { m_volatile = isVolatile; }
    const FILETIME& LastWrite() const { return m_lastWrite; }
    void SetLastWrite(const FILETIME& time) { m_lastWrite = time; }

    // Subkeys, keyed by their upper-cased names: iteration is Windows' enumeration order.
    const std::map<std::u16string, std::unique_ptr<RegKey>>& SubKeys() const { return m_subKeys; }
    RegKey* SubKey(const std::u16string& name) const;
    // The subkey `name`, made (with this key's volatility) when missing; `made` tells which.
    RegKey& AddSubKey(const std::u16string& name, bool* made = nullptr);
    bool RemoveSubKey(const std::u16string& name);
    // The key at a backslash-separated path below this one, or null.
    RegKey* Find(const std::u16string& path) const;

    const std::vector<RegValue>& Values() const { return m_values; }
    const RegValue* Value(const std::u16string& name) const;
    // Replaces a value of that name where it stands (keeping the stored name's case) or appends.
    void SetValue(RegValue value);
    bool RemoveValue(const std::u16string& name);

    // True when both keys hold the same names, volatility, values and subkeys, recursively.
    bool SameTree(const RegKey& other) const;

private:
    std::u16string m_name;
    bool m_volatile = false;
    FILETIME m_lastWrite{};
    std::vector<RegValue> m_values;
    std::map<std::u16string, std::unique_ptr<RegKey>> m_subKeys;
};

// The registry of a machine: a nameless key whose subkeys are the predefined roots, named as
// regedit names them ("HKEY_LOCAL_MACHINE", ...).
extern const char16_t* const kRegRootNames[5];
// The full root name for a name or abbreviation ("HKLM", "hkey_users"); empty when none.
std::u16string RegRootName(const std::u16string& name);
std::unique_ptr<RegKey> NewRegistryTree();

// Values as Windows stores them: a DWORD little-endian, strings UTF-16LE with terminators.
RegValue DwordValue(const std::u16string& name, DWORD number);
RegValue StringValue(const std::u16string& name, const std::u16string& text, DWORD type = REG_SZ);
RegValue MultiStringValue(const std::u16string& name, const std::vector<std::u16string>& texts);

// A REG_DWORD value's number; 0 when absent or of another type.
DWORD ReadDword(const RegKey& key, const std::u16string& name);
// A string value of a key (REG_SZ or REG_EXPAND_SZ, without its terminator); false when absent.
bool ReadString(const RegKey& key, const std::u16string& name, std::u16string* text);
std::vector<std::u16string> ReadMultiString(const RegKey& key, const std::u16string& name);

}  // namespace sim
