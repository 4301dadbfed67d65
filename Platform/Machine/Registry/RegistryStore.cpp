#include "Machine/Registry/RegistryStore.h"

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
    } else {
        auto found = m_handles.find(reinterpret_cast<uintptr_t>(key));
        if (found == m_handles.end()) {
            return ERROR_INVALID_HANDLE;
        }
        *handle = found->second;
    }
    RegKey* at = m_tree.get();
    for (size_t i = 0; at != nullptr && i < handle->path.size(); ++i) {
        at = at->SubKey(handle->path[i]);
    }
    if (handle->deleted || at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    *node = at;
    return ERROR_SUCCESS;
}

DWORD RegistryStore::ResolvePathLocked(HKEY key, const std::u16string& subKey, Handle* handle,
                                       RegKey** node, std::vector<std::u16string>* names) {
    DWORD error = ResolveLocked(key, handle, node);
    return error == ERROR_SUCCESS ? SplitPath(subKey, names) : error;
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

DWORD RegistryStore::ReadKey(HKEY key, REGSAM needed,
                             const std::function<DWORD(const RegKey& node)>& read) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    RegKey* node = nullptr;
    DWORD error = AccessLocked(key, needed, &node);
    return error == ERROR_SUCCESS ? read(*node) : error;
}

HKEY RegistryStore::AddHandleLocked(std::vector<std::u16string> path, REGSAM access) {
    uintptr_t value = m_nextHandle;
    m_nextHandle += 4;
    m_handles[value] = Handle{std::move(path), access, false};
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
    Handle handle;
    RegKey* node = nullptr;
    DWORD error = ResolveLocked(parent, &handle, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::u16string relative = subKey;
    if (PredefinedIndex(parent) == 0 && !relative.empty() && relative[0] == u'\\') {
        // HKEY_CLASSES_ROOT, a merged view on Windows, takes a leading backslash; "\" alone
        // gives a new handle to the root.
        size_t skip = relative.find_first_not_of(u'\\');
        if (skip == std::u16string::npos) {
            *result = AddHandleLocked(std::move(handle.path), MapGenericAccess(access));
            return ERROR_SUCCESS;
        }
        relative.erase(0, skip);
    }
    std::vector<std::u16string> names;
    error = SplitPath(relative, &names);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (names.empty() && IsPredefined(parent)) {
        *result = parent;
        return ERROR_SUCCESS;
    }
    for (const std::u16string& name : names) {
        node = node->SubKey(name);
        if (node == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
        handle.path.push_back(node->Name());
    }
    *result = AddHandleLocked(std::move(handle.path), MapGenericAccess(access));
    return ERROR_SUCCESS;
}

DWORD RegistryStore::Create(HKEY parent, const std::u16string& subKey, DWORD options, REGSAM access,
                            HKEY* result, DWORD* disposition) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        Handle handle;
        RegKey* node = nullptr;
        std::vector<std::u16string> names;
        DWORD error = ResolvePathLocked(parent, subKey, &handle, &node, &names);
        for (const std::u16string& name : names) {
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
        for (const std::u16string& name : names) {
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
            handle.path.push_back(node->Name());
        }
        *result = AddHandleLocked(std::move(handle.path), MapGenericAccess(access));
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

DWORD RegistryStore::DeleteKey(HKEY key, const std::u16string& subKey) {
    std::lock_guard<std::mutex> hold(m_lock);
    return ChangeLocked([&](bool* changed) -> DWORD {
        Handle handle;
        RegKey* node = nullptr;
        std::vector<std::u16string> names;
        DWORD error = ResolvePathLocked(key, subKey, &handle, &node, &names);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        RegKey* parent = nullptr;
        for (const std::u16string& name : names) {
            parent = node;
            node = node->SubKey(name);
            if (node == nullptr) {
                return ERROR_FILE_NOT_FOUND;
            }
            handle.path.push_back(node->Name());
        }
        if (parent == nullptr) {
            // The key itself: find its parent from the top.
            parent = m_tree.get();
            for (size_t i = 0; i + 1 < handle.path.size(); ++i) {
                parent = parent->SubKey(handle.path[i]);
            }
        }
        // A root cannot be deleted; nor, with RegDeleteKey, a key that has subkeys.
        if (handle.path.size() == 1 || !node->SubKeys().empty()) {
            return ERROR_ACCESS_DENIED;
        }
        parent->RemoveSubKey(handle.path.back());
        parent->SetLastWrite(CurrentFileTime());
        MarkDeletedLocked(handle.path);
        *changed = true;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::Flush(HKEY key) {
    // Every change is already on disk when its call returns.
    return ReadKey(key, 0, [](const RegKey&) -> DWORD { return ERROR_SUCCESS; });
}

// ---- Values ----

DWORD RegistryStore::QueryValue(HKEY key, const std::u16string& name, RegValue* value) {
    return ReadKey(key, KEY_QUERY_VALUE, [&](const RegKey& node) -> DWORD {
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
    return ReadKey(key, KEY_ENUMERATE_SUB_KEYS, [&](const RegKey& node) -> DWORD {
        if (index >= node.SubKeys().size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        auto it = node.SubKeys().begin();
        std::advance(it, index);
        *name = it->second->Name();
        *lastWrite = it->second->LastWrite();
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::EnumValue(HKEY key, DWORD index, RegValue* value) {
    return ReadKey(key, KEY_QUERY_VALUE, [&](const RegKey& node) -> DWORD {
        if (index >= node.Values().size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        *value = node.Values()[index];
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::QueryInfo(HKEY key, KeyInfo* info) {
    return ReadKey(key, KEY_QUERY_VALUE, [&](const RegKey& node) -> DWORD {
        *info = KeyInfo();
        info->subKeys = static_cast<DWORD>(node.SubKeys().size());
        for (const auto& sub : node.SubKeys()) {
            info->maxSubKeyLength =
                std::max(info->maxSubKeyLength, static_cast<DWORD>(sub.second->Name().size()));
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
