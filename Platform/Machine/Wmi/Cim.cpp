#include "Machine/Wmi/Cim.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::u16string Decimal(long long value) {
    std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// A key value as a path writes it: strings quoted, with \ and " escaped.
std::u16string KeyText(const CimValue& value) {
    switch (value.kind) {
        case CimValue::Kind::Boolean:
            return value.boolean ? u"TRUE" : u"FALSE";
        case CimValue::Kind::Integer:
            return Decimal(value.integer);
        case CimValue::Kind::String:
            break;
        case CimValue::Kind::Null:
            throw std::logic_error("a key property is null");
    }
    std::u16string out = u"\"";
    for (char16_t c : value.text) {
        if (c == u'\\' || c == u'"') {
            out += u'\\';
        }
        out += c;
    }
    return out + u"\"";
}

char16_t FoldChar(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

}  // namespace

std::u16string CimFold(const std::u16string& name) {
    std::u16string folded = name;
    for (char16_t& c : folded) {
        c = FoldChar(c);
    }
    return folded;
}

bool CimNamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (a == b) {
        return true;  // the usual case, and a block compare
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && FoldChar(a[i]) != FoldChar(b[i])) {
            return false;
        }
    }
    return true;
}

// Names equal without case differ only in bit 0x20 of letters, so hashing each character with
// that bit set agrees with CimNamesEqual; four characters at a time.
size_t CimFoldHash::operator()(std::u16string_view name) const {
    const unsigned long long kCaseBits = 0x0020002000200020ull;
    const unsigned long long kMultiplier = 0x9E3779B97F4A7C15ull;
    unsigned long long hash = name.size();
    size_t i = 0;
    for (; i + 4 <= name.size(); i += 4) {
        unsigned long long word;
        std::memcpy(&word, name.data() + i, sizeof word);
        hash = (hash ^ (word | kCaseBits)) * kMultiplier;
        hash ^= hash >> 29;
    }
    for (; i < name.size(); ++i) {
        hash = (hash ^ (name[i] | 0x20u)) * kMultiplier;
    }
    return static_cast<size_t>(hash ^ (hash >> 32));
}

CimValue CimValue::Null(CIMTYPE type) {
    CimValue value;
    value.type = type;
    return value;
}

CimValue CimValue::Bool(bool boolean) {
    CimValue value;
    value.kind = Kind::Boolean;
    value.type = CIM_BOOLEAN;
    value.boolean = boolean;
    return value;
}

CimValue CimValue::Int(long long integer, CIMTYPE type) {
    CimValue value;
    value.kind = Kind::Integer;
    value.type = type;
    value.integer = integer;
    return value;
}

CimValue CimValue::Str(std::u16string text) {
    CimValue value;
    value.kind = Kind::String;
    value.text = std::move(text);
    return value;
}

bool CimValue::operator==(const CimValue& other) const {
    if (kind != other.kind || type != other.type) {
        return false;
    }
    switch (kind) {
        case Kind::Boolean:
            return boolean == other.boolean;
        case Kind::Integer:
            return integer == other.integer;
        case Kind::String:
            return text == other.text;
        case Kind::Null:
            break;
    }
    return true;
}

CimInstance::CimInstance(std::u16string className, std::vector<std::u16string> keys)
    : m_className(std::move(className)), m_keys(std::move(keys)) {}

CimInstance& CimInstance::Set(const std::u16string& name, CimValue value) {
    m_relPath.clear();  // a key may change
    for (auto& property : m_properties) {
        if (CimNamesEqual(property.first, name)) {
            property.second = std::move(value);
            return *this;
        }
    }
    m_properties.emplace_back(name, std::move(value));
    return *this;
}

const CimValue* CimInstance::Find(std::u16string_view name) const {
    for (const auto& property : m_properties) {
        if (CimNamesEqual(property.first, name)) {
            return &property.second;
        }
    }
    return nullptr;
}

std::u16string CimInstance::RelPath() const {
    return m_relPath.empty() ? BuildRelPath() : m_relPath;
}

std::u16string CimInstance::BuildRelPath() const {
    if (m_keys.empty()) {
        return m_className + u"=@";  // a singleton
    }
    std::u16string path = m_className;
    char16_t separator = u'.';
    for (const std::u16string& key : m_keys) {
        const CimValue* value = Find(key);
        if (value == nullptr) {
            throw std::logic_error("instance of " + Narrow(m_className) + " lacks key " +
                                   Narrow(key));
        }
        path += separator + key + u"=" + KeyText(*value);
        separator = u',';
    }
    return path;
}

CimRepository::CimRepository(std::u16string host, std::u16string nameSpace)
    : m_host(std::move(host)), m_namespace(std::move(nameSpace)) {}

void CimRepository::AddClass(const std::u16string& name, const std::u16string& superclass) {
    const ClassEntry* super = superclass.empty() ? nullptr : FindEntry(superclass);
    if (!superclass.empty() && super == nullptr) {
        throw std::logic_error("class " + Narrow(name) + " derives from undeclared " +
                               Narrow(superclass));
    }
    // Declaring a class again with another superclass could make a cycle of IsA.
    auto found = m_classes.find(name);
    if (found == m_classes.end()) {
        m_classes.emplace(name, ClassEntry{name, super});
    } else if (found->second.super != super) {
        throw std::logic_error("class " + Narrow(name) + " declared twice");
    } else {
        found->second.name = name;
    }
}

const CimRepository::ClassEntry* CimRepository::FindEntry(const std::u16string& name) const {
    auto found = m_classes.find(name);
    return found == m_classes.end() ? nullptr : &found->second;
}

const std::u16string* CimRepository::FindClass(const std::u16string& name) const {
    const ClassEntry* entry = FindEntry(name);
    return entry == nullptr ? nullptr : &entry->name;
}

bool CimRepository::Derives(const ClassEntry* entry, const ClassEntry* ancestor) {
    for (; entry != nullptr && ancestor != nullptr; entry = entry->super) {
        if (entry == ancestor) {
            return true;
        }
    }
    return false;
}

bool CimRepository::IsA(const std::u16string& className, const std::u16string& ancestor) const {
    if (className.empty()) {
        return false;
    }
    if (CimNamesEqual(className, ancestor)) {
        return true;
    }
    const ClassEntry* entry = FindEntry(className);
    for (entry = entry != nullptr ? entry->super : nullptr; entry != nullptr;
         entry = entry->super) {
        if (CimNamesEqual(entry->name, ancestor)) {
            return true;
        }
    }
    return false;
}

std::u16string CimRepository::AddInstance(CimInstance instance) {
    const ClassEntry* declared = FindEntry(instance.ClassName());
    if (declared == nullptr) {
        throw std::logic_error("instance of undeclared class " + Narrow(instance.ClassName()));
    }
    instance.m_className = declared->name;
    instance.m_relPath = instance.BuildRelPath();
    std::u16string path = PathOf(instance);
    size_t index = IndexOf(instance.m_relPath);
    if (index != npos) {
        // The key views the instance's own text, which the replacement frees.
        m_byRelPath.erase(m_instances[index]->m_relPath);
        *m_instances[index] = std::move(instance);
    } else {
        index = m_instances.size();
        m_instances.push_back(std::make_unique<CimInstance>(std::move(instance)));
        m_instanceClasses.push_back(nullptr);
        m_associations.emplace_back();
    }
    m_instanceClasses[index] = declared;
    m_byRelPath.emplace(m_instances[index]->m_relPath, index);
    return path;
}

void CimRepository::Associate(const std::u16string& pathA, const std::u16string& pathB) {
    size_t indexA = IndexOf(pathA);
    size_t indexB = IndexOf(pathB);
    if (indexA == npos || indexB == npos) {
        throw std::logic_error("association of an absent instance");
    }
    auto link = [this](size_t from, size_t to) {
        std::vector<size_t>& links = m_associations[from];
        if (std::find(links.begin(), links.end(), to) == links.end()) {
            links.push_back(to);
        }
    };
    link(indexA, indexB);
    link(indexB, indexA);
}

std::u16string CimRepository::PathOf(const CimInstance& instance) const {
    return u"\\\\" + m_host + u"\\" + m_namespace + u":" + instance.RelPath();
}

const CimInstance* CimRepository::Find(const std::u16string& path) const {
    size_t index = IndexOf(path);
    return index == npos ? nullptr : m_instances[index].get();
}

std::vector<const CimInstance*> CimRepository::InstancesOf(const std::u16string& className) const {
    std::vector<const CimInstance*> found;
    const ClassEntry* wanted = FindEntry(className);
    for (size_t index = 0; index < m_instances.size(); ++index) {
        if (Derives(m_instanceClasses[index], wanted)) {
            found.push_back(m_instances[index].get());
        }
    }
    return found;
}

std::vector<const CimInstance*> CimRepository::AssociatorsOf(const std::u16string& path,
                                                             const std::u16string& resultClass,
                                                             bool* exists) const {
    std::vector<const CimInstance*> found;
    size_t from = IndexOf(path);
    if (exists != nullptr) {
        *exists = from != npos;
    }
    if (from == npos) {
        return found;
    }
    const ClassEntry* wanted = resultClass.empty() ? nullptr : FindEntry(resultClass);
    for (size_t index : m_associations[from]) {
        if (resultClass.empty() || Derives(m_instanceClasses[index], wanted)) {
            found.push_back(m_instances[index].get());
        }
    }
    return found;
}

std::vector<const CimInstance*> CimRepository::Instances() const {
    std::vector<const CimInstance*> all;
    for (const auto& instance : m_instances) {
        all.push_back(instance.get());
    }
    return all;
}

size_t CimRepository::IndexOf(std::u16string_view path) const {
    auto found = m_byRelPath.find(RelPathOf(path));
    return found == m_byRelPath.end() ? npos : found->second;
}

// The relative path of a full one (\\HOST\namespace:RelPath, the host also "."); a relative path
// as it is; empty for a path to another machine or namespace.
std::u16string_view CimRepository::RelPathOf(std::u16string_view path) const {
    if (path.compare(0, 2, u"\\\\") != 0) {
        return path;
    }
    // Host and namespace hold no colon; a key value after it may.
    size_t colon = path.find(u':');
    size_t slash = path.find(u'\\', 2);
    if (colon == std::u16string::npos || slash == std::u16string::npos || slash > colon) {
        return u"";
    }
    std::u16string_view host = path.substr(2, slash - 2);
    std::u16string_view nameSpace = path.substr(slash + 1, colon - slash - 1);
    if ((host != u"." && !CimNamesEqual(host, m_host)) || !CimNamesEqual(nameSpace, m_namespace)) {
        return u"";
    }
    return path.substr(colon + 1);
}

void CimRepository::AddMethod(const std::u16string& className, const std::u16string& method) {
    m_methods.emplace_back(className, method);
}

bool CimRepository::HasMethod(const std::u16string& className, const std::u16string& method) const {
    for (const auto& entry : m_methods) {
        if (CimNamesEqual(entry.first, className) && CimNamesEqual(entry.second, method)) {
            return true;
        }
    }
    return false;
}

}  // namespace sim
