#include "Machine/Cim.h"

#include <algorithm>
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

}  // namespace

std::u16string CimFold(const std::u16string& name) {
    std::u16string folded = name;
    for (char16_t& c : folded) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return folded;
}

bool CimNamesEqual(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() && CimFold(a) == CimFold(b);
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
    for (auto& property : m_properties) {
        if (CimNamesEqual(property.first, name)) {
            property.second = std::move(value);
            return *this;
        }
    }
    m_properties.emplace_back(name, std::move(value));
    return *this;
}

const CimValue* CimInstance::Find(const std::u16string& name) const {
    for (const auto& property : m_properties) {
        if (CimNamesEqual(property.first, name)) {
            return &property.second;
        }
    }
    return nullptr;
}

std::u16string CimInstance::RelPath() const {
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
    std::u16string superFolded = CimFold(superclass);
    if (!superclass.empty() && m_classes.count(superFolded) == 0) {
        throw std::logic_error("class " + Narrow(name) + " derives from undeclared " +
                               Narrow(superclass));
    }
    // Declaring a class again with another superclass could make a cycle of IsA.
    auto found = m_classes.find(CimFold(name));
    if (found != m_classes.end() && found->second.superFolded != superFolded) {
        throw std::logic_error("class " + Narrow(name) + " declared twice");
    }
    m_classes[CimFold(name)] = ClassEntry{name, superFolded};
}

const std::u16string* CimRepository::FindClass(const std::u16string& name) const {
    auto found = m_classes.find(CimFold(name));
    return found == m_classes.end() ? nullptr : &found->second.name;
}

bool CimRepository::IsA(const std::u16string& className, const std::u16string& ancestor) const {
    std::u16string wanted = CimFold(ancestor);
    std::u16string current = CimFold(className);
    while (!current.empty()) {
        if (current == wanted) {
            return true;
        }
        auto found = m_classes.find(current);
        if (found == m_classes.end()) {
            return false;
        }
        current = found->second.superFolded;
    }
    return false;
}

std::u16string CimRepository::AddInstance(CimInstance instance) {
    const std::u16string* declared = FindClass(instance.ClassName());
    if (declared == nullptr) {
        throw std::logic_error("instance of undeclared class " + Narrow(instance.ClassName()));
    }
    instance.m_className = *declared;
    std::u16string path = PathOf(instance);
    std::u16string folded = CimFold(instance.RelPath());
    auto found = m_byRelPath.find(folded);
    if (found != m_byRelPath.end()) {
        *m_instances[found->second] = std::move(instance);
    } else {
        m_byRelPath.emplace(folded, m_instances.size());
        m_instances.push_back(std::make_unique<CimInstance>(std::move(instance)));
    }
    return path;
}

void CimRepository::Associate(const std::u16string& pathA, const std::u16string& pathB) {
    std::u16string foldedA = CimFold(RelPathOf(pathA));
    std::u16string foldedB = CimFold(RelPathOf(pathB));
    auto indexA = m_byRelPath.find(foldedA);
    auto indexB = m_byRelPath.find(foldedB);
    if (indexA == m_byRelPath.end() || indexB == m_byRelPath.end()) {
        throw std::logic_error("association of an absent instance");
    }
    auto link = [this](const std::u16string& from, size_t to) {
        std::vector<size_t>& links = m_associations[from];
        if (std::find(links.begin(), links.end(), to) == links.end()) {
            links.push_back(to);
        }
    };
    link(foldedA, indexB->second);
    link(foldedB, indexA->second);
}

std::u16string CimRepository::PathOf(const CimInstance& instance) const {
    return u"\\\\" + m_host + u"\\" + m_namespace + u":" + instance.RelPath();
}

const CimInstance* CimRepository::Find(const std::u16string& path) const {
    return ByFoldedRelPath(CimFold(RelPathOf(path)));
}

std::vector<const CimInstance*> CimRepository::InstancesOf(const std::u16string& className) const {
    std::vector<const CimInstance*> found;
    for (const auto& instance : m_instances) {
        if (IsA(instance->ClassName(), className)) {
            found.push_back(instance.get());
        }
    }
    return found;
}

std::vector<const CimInstance*> CimRepository::AssociatorsOf(
    const std::u16string& path, const std::u16string& resultClass) const {
    std::vector<const CimInstance*> found;
    auto links = m_associations.find(CimFold(RelPathOf(path)));
    if (links == m_associations.end()) {
        return found;
    }
    for (size_t index : links->second) {
        const CimInstance* instance = m_instances[index].get();
        if (resultClass.empty() || IsA(instance->ClassName(), resultClass)) {
            found.push_back(instance);
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

const CimInstance* CimRepository::ByFoldedRelPath(const std::u16string& folded) const {
    auto found = m_byRelPath.find(folded);
    return found == m_byRelPath.end() ? nullptr : m_instances[found->second].get();
}

// The relative path of a full one (\\HOST\namespace:RelPath, the host also "."); a relative path
// as it is; empty for a path to another machine or namespace.
std::u16string CimRepository::RelPathOf(const std::u16string& path) const {
    if (path.compare(0, 2, u"\\\\") != 0) {
        return path;
    }
    // Host and namespace hold no colon; a key value after it may.
    size_t colon = path.find(u':');
    size_t slash = path.find(u'\\', 2);
    if (colon == std::u16string::npos || slash == std::u16string::npos || slash > colon) {
        return u"";
    }
    std::u16string host = path.substr(2, slash - 2);
    std::u16string nameSpace = path.substr(slash + 1, colon - slash - 1);
    if ((host != u"." && !CimNamesEqual(host, m_host)) || !CimNamesEqual(nameSpace, m_namespace)) {
        return u"";
    }
    return path.substr(colon + 1);
}

void CimRepository::AddMethod(const std::u16string& className, const std::u16string& method) {
    m_methods.emplace_back(CimFold(className), CimFold(method));
}

bool CimRepository::HasMethod(const std::u16string& className, const std::u16string& method) const {
    for (const auto& entry : m_methods) {
        if (entry.first == CimFold(className) && entry.second == CimFold(method)) {
            return true;
        }
    }
    return false;
}

}  // namespace sim
