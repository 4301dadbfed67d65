#include "Machine/Registry/RegistryStore.h"

#include "Machine/Processes/ProcessImage.h"
#include "Machine/Registry/RegistryViews.h"

#include <winerror.h>
#include <winreg.h>

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

// Index of a predefined key among HKEY_CLASSES_ROOT ... HKEY_DYN_DATA; -1 for another handle.
// As on 64-bit Windows, only the low 32 bits of a predefined key count.
int PredefinedIndex(HKEY key) {
    uint32_t low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    return low >= 0x80000000u && low <= 0x80000006u ? static_cast<int>(low - 0x80000000u) : -1;
}

// The tree's root for a predefined key; null for HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA, which
// this machine does not have.
const char16_t* PredefinedRoot(int index) {
    static const int kRoot[7] = {0, 1, 2, 3, -1, 4, -1};
    return kRoot[index] < 0 ? nullptr : kRegRootNames[kRoot[index]];
}

REGSAM MapGenericAccess(REGSAM access) {
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= KEY_ALL_ACCESS;
    }
    if (access & GENERIC_READ) {
        access |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        access |= KEY_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= KEY_EXECUTE;
    }
    return access;
}

// Names of a relative path. Trailing backslashes are allowed, as on Windows.
DWORD SplitPath(const std::u16string& path, std::vector<std::u16string>* names) {
    if (!path.empty() && path[0] == u'\\') {
        return ERROR_BAD_PATHNAME;
    }
    size_t end = path.find_last_not_of(u'\\');
    size_t start = 0;
    while (end != std::u16string::npos && start <= end) {
        size_t slash = path.find(u'\\', start);
        if (slash == std::u16string::npos || slash > end) {
            slash = end + 1;
        }
        if (slash == start) {
            return ERROR_BAD_PATHNAME;
        }
        names->push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace

bool RegistryStore::IsPredefined(HKEY key) {
    return PredefinedIndex(key) >= 0;
}

// ---- Handles ----

DWORD RegistryStore::ResolveLocked(HKEY key, Handle* handle, RegKey** node) {
    int predefined = PredefinedIndex(key);
    if (predefined >= 0) {
        const char16_t* root = PredefinedRoot(predefined);
        if (root == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        handle->path = {root};
        handle->access = KEY_ALL_ACCESS;
        handle->deleted = false;
        handle->view32 = IsWow64Process();
    } else {
        auto found = m_handles.find(reinterpret_cast<uintptr_t>(key));
        if (found == m_handles.end()) {
            return ERROR_INVALID_HANDLE;
        }
        *handle = found->second;
    }
    RegKey* at = FindLocked(handle->path, nullptr);
    if (handle->deleted || at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    *node = at;
    return ERROR_SUCCESS;
}

DWORD RegistryStore::ResolvePathLocked(HKEY key, const std::u16string& subKey, REGSAM access,
                                       Handle* handle) {
    RegKey* node = nullptr;
    DWORD error = ResolveLocked(key, handle, &node);
    std::vector<std::u16string> names;
    if (error == ERROR_SUCCESS) {
        error = SplitPath(subKey, &names);
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (MachineHasWow64()) {
        // Windows 7 and later refuse both views at once; 32-bit Windows ignores the flags.
        REGSAM view = access & KEY_WOW64_RES;
        if (view == KEY_WOW64_RES) {
            return ERROR_INVALID_PARAMETER;
        }
        handle->view32 = view == KEY_WOW64_32KEY || (view == 0 && handle->view32);
        handle->path.insert(handle->path.end(), names.begin(), names.end());
        handle->path = KeyInView(handle->path, handle->view32);
    } else {
        handle->path.insert(handle->path.end(), names.begin(), names.end());
    }
    return ERROR_SUCCESS;
}

RegKey* RegistryStore::FindLocked(const Path& path, Path* spelled) {
    RegKey* at = m_tree.get();
    for (size_t i = 0; at != nullptr && i < path.size(); ++i) {
        at = at->SubKey(path[i]);
        if (at != nullptr && spelled != nullptr) {
            spelled->push_back(at->Name());
        }
    }
    return at;
}

std::vector<const RegKey*> RegistryStore::SubKeysLocked(const Path& path, const RegKey& node) {
    std::map<std::u16string, const RegKey*> keys;
    for (const auto& sub : node.SubKeys()) {
        keys.emplace(sub.first, sub.second.get());
    }
    if (MachineHasWow64() && IsInWow6432Node(path)) {
        Path other = path;
        other.erase(other.begin() + 2);
        if (const RegKey* counterpart = FindLocked(other, nullptr)) {
            for (const auto& sub : counterpart->SubKeys()) {
                Path below = other;
                below.push_back(sub.second->Name());
                if (!IsInWow6432Node(below) && KeyInView(below, true) == below) {
                    keys.emplace(sub.first, sub.second.get());
                }
            }
        }
    }
    std::vector<const RegKey*> list;
    for (const auto& key : keys) {
        list.push_back(key.second);
    }
    return list;
}

DWORD RegistryStore::AccessLocked(HKEY key, REGSAM needed, RegKey** node) {
    Handle handle;
    DWORD error = ResolveLocked(key, &handle, node);
    // Windows checks the handle's access before it looks at the key.
    if (error != ERROR_INVALID_HANDLE && (handle.access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    return error;
}

DWORD RegistryStore::ReadKey(
    HKEY key, REGSAM needed,
    const std::function<DWORD(const Path& path, const RegKey& node)>& read) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    Handle handle;
    RegKey* node = nullptr;
    DWORD error = ResolveLocked(key, &handle, &node);
    if (error != ERROR_INVALID_HANDLE && (handle.access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    return error == ERROR_SUCCESS ? read(handle.path, *node) : error;
}

HKEY RegistryStore::AddHandleLocked(Handle handle, REGSAM access) {
    uintptr_t value = m_nextHandle;
    m_nextHandle += 4;
    handle.access = MapGenericAccess(access);
    handle.deleted = false;
    m_handles[value] = std::move(handle);
    return reinterpret_cast<HKEY>(value);
}

void RegistryStore::MarkDeletedLocked(const std::vector<std::u16string>& path) {
    for (auto& entry : m_handles) {
        std::vector<std::u16string>& open = entry.second.path;
        if (open.size() < path.size()) {
            continue;
        }
        bool below = true;
        for (size_t i = 0; below && i < path.size(); ++i) {
            below = RegNamesEqual(open[i], path[i]);
        }
        entry.second.deleted = entry.second.deleted || below;
    }
}

// ---- Keys ----

DWORD RegistryStore::Open(HKEY parent, const std::u16string& subKey, REGSAM access, HKEY* result) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    std::u16string relative = subKey;
    bool rootAgain = false;
    if (PredefinedIndex(parent) == 0 && !relative.empty() && relative[0] == u'\\') {
        // HKEY_CLASSES_ROOT, a merged view on Windows, takes a leading backslash; "\" alone
        // gives a new handle to the root.
        size_t skip = relative.find_first_not_of(u'\\');
        rootAgain = skip == std::u16string::npos;
        relative.erase(0, rootAgain ? relative.size() : skip);
    }
    Handle handle;
    DWORD error = ResolvePathLocked(parent, relative, access, &handle);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (relative.empty() && IsPredefined(parent) && !rootAgain) {
        *result = parent;
        return ERROR_SUCCESS;
    }
    Path spelled;
    if (FindLocked(handle.path, &spelled) == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    handle.path = std::move(spelled);
    *result = AddHandleLocked(std::move(handle), access);
    return ERROR_SUCCESS;
}

DWORD RegistryStore::Create(HKEY parent, const std::u16string& subKey, DWORD options, REGSAM access,
                            HKEY* result, DWORD* disposition) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        Handle handle;
        DWORD error = ResolvePathLocked(parent, subKey, access, &handle);
        for (const std::u16string& name : handle.path) {
            // A line break cannot be written in a key line of registry.reg.
            if (error == ERROR_SUCCESS && name.find_first_of(u"\r\n") != std::u16string::npos) {
                error = ERROR_INVALID_PARAMETER;
            }
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
        bool makeVolatile = (options & REG_OPTION_VOLATILE) != 0;
        bool made = false;
        FILETIME now = CurrentFileTime();
        RegKey* node = m_tree.get();
        Path spelled;
        for (const std::u16string& name : handle.path) {
            RegKey* next = node->SubKey(name);
            if (next == nullptr) {
                if (node->IsVolatile() && !makeVolatile) {
                    return ERROR_CHILD_MUST_BE_VOLATILE;
                }
                next = &node->AddSubKey(name);
                next->SetVolatile(makeVolatile);
                next->SetLastWrite(now);
                node->SetLastWrite(now);
                made = true;
                *changed = true;
            }
            node = next;
            spelled.push_back(node->Name());
        }
        handle.path = std::move(spelled);
        *result = AddHandleLocked(std::move(handle), access);
        *disposition = made ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::Close(HKEY key) {
    if (IsPredefined(key)) {
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    return m_handles.erase(reinterpret_cast<uintptr_t>(key)) != 0 ? ERROR_SUCCESS
                                                                  : ERROR_INVALID_HANDLE;
}

DWORD RegistryStore::DeleteKey(HKEY key, const std::u16string& subKey, REGSAM access) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        Handle handle;
        DWORD error = ResolvePathLocked(key, subKey, access, &handle);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        Path spelled;
        RegKey* node = FindLocked(handle.path, &spelled);
        if (node == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        // A root cannot be deleted; nor, with RegDeleteKey, a key that has subkeys.
        if (spelled.size() == 1 || !node->SubKeys().empty()) {
            return ERROR_ACCESS_DENIED;
        }
        RegKey* parent = FindLocked(Path(spelled.begin(), spelled.end() - 1), nullptr);
        parent->RemoveSubKey(spelled.back());
        parent->SetLastWrite(CurrentFileTime());
        MarkDeletedLocked(spelled);
        *changed = true;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::Flush(HKEY key) {
    // Every change is already on disk when its call returns.
    return ReadKey(key, 0, [](const Path&, const RegKey&) -> DWORD { return ERROR_SUCCESS; });
}

// ---- Values ----

DWORD RegistryStore::QueryValue(HKEY key, const std::u16string& name, RegValue* value) {
    return ReadKey(key, KEY_QUERY_VALUE, [&](const Path&, const RegKey& node) -> DWORD {
        const RegValue* found = node.Value(name);
        if (found == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        *value = *found;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::SetValue(HKEY key, RegValue value) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        RegKey* node = nullptr;
        DWORD error = AccessLocked(key, KEY_SET_VALUE, &node);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        node->SetValue(std::move(value));
        node->SetLastWrite(CurrentFileTime());
        *changed = true;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::DeleteValue(HKEY key, const std::u16string& name) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        RegKey* node = nullptr;
        DWORD error = AccessLocked(key, KEY_SET_VALUE, &node);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        if (!node->RemoveValue(name)) {
            return ERROR_FILE_NOT_FOUND;
        }
        node->SetLastWrite(CurrentFileTime());
        *changed = true;
        return ERROR_SUCCESS;
    });
}

// ---- Enumeration ----

DWORD RegistryStore::EnumKey(HKEY key, DWORD index, std::u16string* name, FILETIME* lastWrite) {
    return ReadKey(key, KEY_ENUMERATE_SUB_KEYS, [&](const Path& path, const RegKey& node) -> DWORD {
        std::vector<const RegKey*> keys = SubKeysLocked(path, node);
        if (index >= keys.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        *name = keys[index]->Name();
        *lastWrite = keys[index]->LastWrite();
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::EnumValue(HKEY key, DWORD index, RegValue* value) {
    return ReadKey(key, KEY_QUERY_VALUE, [&](const Path&, const RegKey& node) -> DWORD {
        if (index >= node.Values().size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        *value = node.Values()[index];
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::QueryInfo(HKEY key, KeyInfo* info) {
    return ReadKey(key, KEY_QUERY_VALUE, [&](const Path& path, const RegKey& node) -> DWORD {
        *info = KeyInfo();
        std::vector<const RegKey*> keys = SubKeysLocked(path, node);
        info->subKeys = static_cast<DWORD>(keys.size());
        for (const RegKey* sub : keys) {
            info->maxSubKeyLength =
                std::max(info->maxSubKeyLength, static_cast<DWORD>(sub->Name().size()));
        }
        info->values = static_cast<DWORD>(node.Values().size());
        for (const RegValue& value : node.Values()) {
            info->maxValueNameLength =
                std::max(info->maxValueNameLength, static_cast<DWORD>(value.name.size()));
            info->maxValueSize =
                std::max(info->maxValueSize, static_cast<DWORD>(value.data.size()));
        }
        info->lastWrite = node.LastWrite();
        return ERROR_SUCCESS;
    });
}

// ---- Whole tree ----

void RegistryStore::Read(const std::function<void(const RegKey& tree)>& read) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    read(*m_tree);
}

DWORD RegistryStore::Update(const std::function<bool(RegKey& tree)>& change) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        *changed = change(*m_tree);
        return ERROR_SUCCESS;
    });
}

}  // namespace sim
