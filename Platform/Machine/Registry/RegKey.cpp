#include "Machine/Registry/RegKey.h"

#include <cstring>

namespace sim {

namespace {

char16_t UpcaseChar(char16_t c) {
    if (c < 0x80) {
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    }
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F) || (c >= 0xFF41 && c <= 0xFF5A)) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c == 0x3C2) {
        return 0x3A3;
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<char16_t>(c - 0x50);
    }
    // Latin Extended-A pairs its capitals and small letters, odd or even by range.
    bool oddIsSmall = (c >= 0x100 && c <= 0x137 && c != 0x131) || (c >= 0x14A && c <= 0x177);
    bool evenIsSmall = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((oddIsSmall && (c & 1)) || (evenIsSmall && !(c & 1))) {
        return static_cast<char16_t>(c - 1);
    }
    return c;
}

}  // namespace

std::u16string RegUpcase(const std::u16string& name) {
    std::u16string upper(name);
    for (char16_t& c : upper) {
        c = UpcaseChar(c);
    }
    return upper;
}

bool RegNamesEqual(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpcaseChar(a[i]) != UpcaseChar(b[i])) {
            return false;
        }
    }
    return true;
}

RegKey* RegKey::SubKey(const std::u16string& name) const {
    auto found = m_subKeys.find(RegUpcase(name));
    return found == m_subKeys.end() ? nullptr : found->second.get();
}

RegKey& RegKey::AddSubKey(const std::u16string& name, bool* made) {
    std::unique_ptr<RegKey>& slot = m_subKeys[RegUpcase(name)];
    if (made != nullptr) {
        *made = slot == nullptr;
    }
    if (slot == nullptr) {
        slot = std::make_unique<RegKey>(name);
        slot->m_volatile = m_volatile;
    }
    return *slot;
}

bool RegKey::RemoveSubKey(const std::u16string& name) {
    return m_subKeys.erase(RegUpcase(name)) != 0;
}

RegKey* RegKey::Find(const std::u16string& path) const {
    const RegKey* key = this;
    size_t start = 0;
    while (key != nullptr && start < path.size()) {
        size_t slash = path.find(u'\\', start);
        if (slash == std::u16string::npos) {
            slash = path.size();
        }
        if (slash > start) {
            key = key->SubKey(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return const_cast<RegKey*>(key);
}

const RegValue* RegKey::Value(const std::u16string& name) const {
    for (const RegValue& value : m_values) {
        if (RegNamesEqual(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void RegKey::SetValue(RegValue value) {
    for (RegValue& existing : m_values) {
        if (RegNamesEqual(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    m_values.push_back(std::move(value));
}

bool RegKey::RemoveValue(const std::u16string& name) {
    for (auto it = m_values.begin(); it != m_values.end(); ++it) {
        if (RegNamesEqual(it->name, name)) {
            m_values.erase(it);
            return true;
        }
    }
    return false;
}

bool RegKey::SameTree(const RegKey& other) const {
    if (m_name != other.m_name || m_volatile != other.m_volatile || m_values != other.m_values ||
        m_subKeys.size() != other.m_subKeys.size()) {
        return false;
    }
    for (auto a = m_subKeys.begin(), b = other.m_subKeys.begin(); a != m_subKeys.end(); ++a, ++b) {
        if (a->first != b->first || !a->second->SameTree(*b->second)) {
            return false;
        }
    }
    return true;
}

const char16_t* const kRegRootNames[5] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER",
                                          u"HKEY_LOCAL_MACHINE", u"HKEY_USERS",
                                          u"HKEY_CURRENT_CONFIG"};

std::u16string RegRootName(const std::u16string& name) {
    static const char16_t* const kShort[5] = {u"HKCR", u"HKCU", u"HKLM", u"HKU", u"HKCC"};
    for (int i = 0; i < 5; ++i) {
        if (RegNamesEqual(name, kRegRootNames[i]) || RegNamesEqual(name, kShort[i])) {
            return kRegRootNames[i];
        }
    }
    return std::u16string();
}

std::unique_ptr<RegKey> NewRegistryTree() {
    auto tree = std::make_unique<RegKey>();
    for (const char16_t* root : kRegRootNames) {
        tree->AddSubKey(root);
    }
    return tree;
}

RegValue DwordValue(const std::u16string& name, DWORD number) {
    RegValue value{name, REG_DWORD, std::vector<BYTE>(4)};
    std::memcpy(value.data.data(), &number, 4);
    return value;
}

DWORD ReadDword(const RegKey& key, const std::u16string& name) {
    const RegValue* value = key.Value(name);
    DWORD number = 0;
    if (value != nullptr && value->type == REG_DWORD && value->data.size() == 4) {
        std::memcpy(&number, value->data.data(), 4);
    }
    return number;
}

bool ReadString(const RegKey& key, const std::u16string& name, std::u16string* text) {
    const RegValue* value = key.Value(name);
    if (value == nullptr || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) {
        return false;
    }
    std::u16string result(value->data.size() / 2, u'\0');
    if (!result.empty()) {
        std::memcpy(&result[0], value->data.data(), result.size() * 2);
    }
    size_t end = result.find(u'\0');
    *text = end == std::u16string::npos ? result : result.substr(0, end);
    return true;
}

std::vector<std::u16string> ReadMultiString(const RegKey& key, const std::u16string& name) {
    std::vector<std::u16string> texts;
    const RegValue* value = key.Value(name);
    if (value == nullptr || value->type != REG_MULTI_SZ) {
        return texts;
    }
    std::u16string all(value->data.size() / 2, u'\0');
    if (!all.empty()) {
        std::memcpy(&all[0], value->data.data(), all.size() * 2);
    }
    // Entries end at each terminator; an empty entry ends the list, as readers of it assume.
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(u'\0', at);
        if (end == at) {
            break;
        }
        if (end == std::u16string::npos) {
            end = all.size();
        }
        texts.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return texts;
}

RegValue StringValue(const std::u16string& name, const std::u16string& text, DWORD type) {
    RegValue value;
    value.name = name;
    value.type = type;
    value.data.resize((text.size() + 1) * 2);
    std::memcpy(value.data.data(), text.c_str(), value.data.size());
    return value;
}

RegValue MultiStringValue(const std::u16string& name, const std::vector<std::u16string>& texts) {
    std::u16string all;
    for (const std::u16string& text : texts) {
        all += text;
        all += u'\0';
    }
    all += u'\0';
    RegValue value;
    value.name = name;
    value.type = REG_MULTI_SZ;
    value.data.resize(all.size() * 2);
    std::memcpy(value.data.data(), all.data(), value.data.size());
    return value;
}

}  // namespace sim
