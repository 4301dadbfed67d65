// A CIM repository for one WMI namespace: classes with their superclasses, instances with
// object paths in Windows' form, and associations indexed by path.
//
// Class and property names are case-insensitive, as WMI's; an instance keeps the spelling its
// class was declared with. An association query costs time in proportion to the associations of
// the object asked about, never to the size of the repository.
#pragma once

#include <wbemidl.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

// WMI's rule for names: ASCII letters compare without case.
std::u16string CimFold(const std::u16string& name);
bool CimNamesEqual(std::u16string_view a, std::u16string_view b);

// Hashing and equality by that rule, so that lookups need no folded copy of the name.
struct CimFoldHash {
    size_t operator()(std::u16string_view name) const;
};
struct CimFoldEqual {
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        return CimNamesEqual(a, b);
    }
};

// One property value: null, boolean, integer or string, with the CIM type WMI would report.
struct CimValue {
    enum class Kind { Null, Boolean, Integer, String };

    Kind kind = Kind::Null;
    CIMTYPE type = CIM_STRING;  // for a null value, the property's declared type
    bool boolean = false;
    long long integer = 0;
    std::u16string text;

    static CimValue Null(CIMTYPE type = CIM_STRING);
    static CimValue Bool(bool value);
    static CimValue Int(long long value, CIMTYPE type = CIM_SINT32);
    static CimValue Str(std::u16string value);

    bool operator==(const CimValue& other) const;
    bool operator!=(const CimValue& other) const { return !(*this == other); }
};

// One instance: its class and its properties in declaration order. Key properties make its
// relative path, in the order declared.
class CimInstance {
public:
    CimInstance(std::u16string className, std::vector<std::u16string> keys);

    const std::u16string& ClassName() const { return m_className; }
    const std::vector<std::pair<std::u16string, CimValue>>& Properties() const {
        return m_properties;
    }
    // Adds or replaces a property; returns *this for chaining.
    CimInstance& Set(const std::u16string& name, CimValue value);
    // Null for a property the instance does not have; the name matches in any letter case.
    const CimValue* Find(std::u16string_view name) const;

    // Class.Key1="v1",Key2="v2" (a string key quoted with \ and " escaped, an integer bare).
    std::u16string RelPath() const;
    // That path as the repository kept it when the instance was added; empty before.
    const std::u16string& KeptRelPath() const { return m_relPath; }

private:
    friend class CimRepository;  // gives an added instance its class's declared spelling

    std::u16string BuildRelPath() const;

    std::u16string m_className;
    std::vector<std::u16string> m_keys;
    std::vector<std::pair<std::u16string, CimValue>> m_properties;
    std::u16string m_relPath;  // kept by the repository once added; empty: built when asked
};

class CimRepository {
public:
    // `host` as __SERVER ("TARVIK-HOST"), `nameSpace` as __NAMESPACE ("root\virtualization\v2").
    CimRepository(std::u16string host, std::u16string nameSpace);

    const std::u16string& Host() const { return m_host; }
    const std::u16string& Namespace() const { return m_namespace; }

    // A class and its superclass (empty for a root class, which must be declared first).
    void AddClass(const std::u16string& name, const std::u16string& superclass = u"");
    // The class's declared spelling; null when the namespace has no such class.
    const std::u16string* FindClass(const std::u16string& name) const;
    // True when `className` is `ancestor` or derives from it.
    bool IsA(const std::u16string& className, const std::u16string& ancestor) const;

    // Adds an instance of a declared class; returns its full path. An instance whose path is
    // already there replaces it (its associations stay).
    std::u16string AddInstance(CimInstance instance);
    // Both ways: each is then an associator of the other.
    void Associate(const std::u16string& pathA, const std::u16string& pathB);

    // \\HOST\namespace:RelPath
    std::u16string PathOf(const CimInstance& instance) const;
    // By full path or relative path, in any letter case; null when absent.
    const CimInstance* Find(const std::u16string& path) const;
    // Every instance of the class or a subclass, in the order added.
    std::vector<const CimInstance*> InstancesOf(const std::u16string& className) const;
    // The instances associated with the one at `path` whose class is `resultClass` or derives
    // from it (every associated instance when `resultClass` is empty), in the order associated.
    // `*exists`, when given, tells whether there is an instance at `path`.
    std::vector<const CimInstance*> AssociatorsOf(const std::u16string& path,
                                                  const std::u16string& resultClass,
                                                  bool* exists = nullptr) const;
    // Every instance, in the order added.
    std::vector<const CimInstance*> Instances() const;

    // A method of a class, taking no input parameters.
    void AddMethod(const std::u16string& className, const std::u16string& method);
    bool HasMethod(const std::u16string& className, const std::u16string& method) const;

private:
    struct ClassEntry {
        std::u16string name;
        const ClassEntry* super;  // null for a root class
    };
    const ClassEntry* FindEntry(const std::u16string& name) const;
    // Whether `entry` is `ancestor` or derives from it; false for a null ancestor.
    static bool Derives(const ClassEntry* entry, const ClassEntry* ancestor);
    // The index of the instance at `path`; npos when absent.
    size_t IndexOf(std::u16string_view path) const;
    std::u16string_view RelPathOf(std::u16string_view path) const;

    static constexpr size_t npos = static_cast<size_t>(-1);

    std::u16string m_host;
    std::u16string m_namespace;
    std::unordered_map<std::u16string, ClassEntry, CimFoldHash, CimFoldEqual> m_classes;
    std::vector<std::unique_ptr<CimInstance>> m_instances;
    std::vector<const ClassEntry*> m_instanceClasses;  // by instance index
    // Keys view each instance's m_relPath.
    std::unordered_map<std::u16string_view, size_t, CimFoldHash, CimFoldEqual> m_byRelPath;
    std::vector<std::vector<size_t>> m_associations;                   // by instance index
    std::vector<std::pair<std::u16string, std::u16string>> m_methods;  // class, method
};

}  // namespace sim
