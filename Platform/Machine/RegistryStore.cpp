#include "Machine/RegistryStore.h"

#include "Machine/Machine.h"

#include <winerror.h>
#include <winreg.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>

namespace sim {

namespace {

const char kRegistryFile[] = "registry.reg";
const char kVolatileFile[] = "volatile.reg";
const char kLockFile[] = "registry.lock";

// 100-nanosecond intervals from 1601 to 1970.
const unsigned long long kUnixEpochAsFileTime = 116444736000000000ULL;

FILETIME ToFileTime(unsigned long long ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

FILETIME Now() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return ToFileTime(kUnixEpochAsFileTime + static_cast<unsigned long long>(ticks));
}

FILETIME FromTimespec(const struct timespec& when) {
    return ToFileTime(kUnixEpochAsFileTime +
                      static_cast<unsigned long long>(when.tv_sec) * 10000000ULL +
                      static_cast<unsigned long long>(when.tv_nsec) / 100);
}

void Stamp(RegKey& key, const FILETIME& time) {
    key.SetLastWrite(time);
    for (const auto& sub : key.SubKeys()) {
        Stamp(*sub.second, time);
    }
}

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

RegistryStore::RegistryStore(const std::string& machineDir)
    : m_dir(machineDir), m_tree(NewRegistryTree()) {
    if (!m_dir.empty()) {
        std::lock_guard<std::mutex> hold(m_lock);
        LoadLocked(false);
    } else {
        Stamp(*m_tree, Now());
    }
}

RegistryStore::~RegistryStore() {
    if (m_heldFile >= 0) {
        close(m_heldFile);
    }
}

bool RegistryStore::IsPredefined(HKEY key) {
    return PredefinedIndex(key) >= 0;
}

// ---- Files ----

int RegistryStore::TakeFileLock(int operation) {
    // Opened for each use: a forked child must not share its parent's lock.
    std::string path = m_dir + "/" + kLockFile;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Machine::Stop(path + ": cannot be opened: " + std::strerror(errno));
    }
    while (flock(fd, operation) != 0) {
        if (errno != EINTR) {
            Machine::Stop(path + ": cannot be locked: " + std::strerror(errno));
        }
    }
    return fd;
}

void RegistryStore::RefreshLocked(bool haveExclusiveLock) {
    if (m_dir.empty()) {
        return;
    }
    FileVersion current;
    struct stat st;
    if (stat((m_dir + "/" + kRegistryFile).c_str(), &st) == 0) {
        current = FileVersion::Of(st);
    }
    if (m_stale || !(current == m_version)) {
        LoadLocked(haveExclusiveLock);
    }
}

void RegistryStore::LoadLocked(bool haveExclusiveLock) {
    int lockFd = haveExclusiveLock ? -1 : TakeFileLock(LOCK_SH);
    auto tree = NewRegistryTree();
    FileVersion version;
    FILETIME stamp = Now();
    int held = -1;
    for (bool isVolatile : {false, true}) {
        std::string path = m_dir + "/" + (isVolatile ? kVolatileFile : kRegistryFile);
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            continue;
        }
        std::string bytes;
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !ReadAll(fd, &bytes)) {
            Machine::Stop(path + ": cannot be read: " + std::strerror(errno));
        }
        try {
            ReadRegFile(bytes, *tree, isVolatile);
        } catch (const RegFileError& e) {
            Machine::Stop(path + ":" + std::to_string(e.Line()) + ": " + e.what());
        }
        if (!isVolatile) {
            version = FileVersion::Of(st);
            stamp = FromTimespec(st.st_mtim);
            held = fd;
        } else {
            close(fd);
        }
    }
    if (lockFd >= 0) {
        close(lockFd);
    }
    // The files keep no times: a key was last written when its file was.
    Stamp(*tree, stamp);
    m_tree = std::move(tree);
    if (m_heldFile >= 0) {
        close(m_heldFile);
    }
    m_heldFile = held;
    m_version = version;
    m_stale = false;
}

DWORD RegistryStore::WriteLocked() {
    // Both files go through a temporary file, fsync and rename: a process killed at any point
    // leaves the old or the new version of each. volatile.reg goes first, so that a reader who
    // sees the new registry.reg finds the volatile keys that go with it.
    auto replace = [&](const char* name, const std::string& bytes, int* keep,
                       FileVersion* version) {
        std::string path = m_dir + "/" + name;
        std::string temporary = path + ".tmp";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            return false;
        }
        struct stat st;
        if (!WriteAll(fd, bytes) || fsync(fd) != 0 || fstat(fd, &st) != 0 ||
            rename(temporary.c_str(), path.c_str()) != 0) {
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        if (keep != nullptr) {
            *keep = fd;
            *version = FileVersion::Of(st);
        } else {
            close(fd);
        }
        return true;
    };
    std::string volatileKeys = WriteRegFile(*m_tree, true);
    bool ok = volatileKeys.find('[') != std::string::npos
                  ? replace(kVolatileFile, volatileKeys, nullptr, nullptr)
                  : unlink((m_dir + "/" + kVolatileFile).c_str()) == 0 || errno == ENOENT;
    int fd = -1;
    FileVersion version;
    if (ok && replace(kRegistryFile, WriteRegFile(*m_tree, false), &fd, &version)) {
        if (m_heldFile >= 0) {
            close(m_heldFile);
        }
        m_heldFile = fd;
        m_version = version;
        return ERROR_SUCCESS;
    }
    m_stale = true;
    return ERROR_REGISTRY_IO_FAILED;
}

DWORD RegistryStore::ChangeLocked(const std::function<DWORD(bool* changed)>& change) {
    int lockFd = -1;
    if (!m_dir.empty()) {
        lockFd = TakeFileLock(LOCK_EX);
        RefreshLocked(true);
    }
    bool changed = false;
    DWORD error = change(&changed);
    // Written also after a failure part-way: keys made before it stay made, as on Windows.
    if (changed && !m_dir.empty()) {
        DWORD written = WriteLocked();
        if (error == ERROR_SUCCESS) {
            error = written;
        }
    }
    if (lockFd >= 0) {
        close(lockFd);
    }
    return error;
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

DWORD RegistryStore::AccessLocked(HKEY key, REGSAM needed, RegKey** node) {
    Handle handle;
    DWORD error = ResolveLocked(key, &handle, node);
    // Windows checks the handle's access before it looks at the key.
    if (error != ERROR_INVALID_HANDLE && (handle.access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    return error;
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
        DWORD error = ResolveLocked(parent, &handle, &node);
        std::vector<std::u16string> names;
        if (error == ERROR_SUCCESS) {
            error = SplitPath(subKey, &names);
        }
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
        FILETIME now = Now();
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
        DWORD error = ResolveLocked(key, &handle, &node);
        std::vector<std::u16string> names;
        if (error == ERROR_SUCCESS) {
            error = SplitPath(subKey, &names);
        }
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
        parent->SetLastWrite(Now());
        MarkDeletedLocked(handle.path);
        *changed = true;
        return ERROR_SUCCESS;
    });
}

DWORD RegistryStore::Flush(HKEY key) {
    // Every change is already on disk when its call returns.
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    RegKey* node = nullptr;
    return AccessLocked(key, 0, &node);
}

// ---- Values ----

DWORD RegistryStore::QueryValue(HKEY key, const std::u16string& name, RegValue* value) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    RegKey* node = nullptr;
    DWORD error = AccessLocked(key, KEY_QUERY_VALUE, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const RegValue* found = node->Value(name);
    if (found == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    *value = *found;
    return ERROR_SUCCESS;
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
        node->SetLastWrite(Now());
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
        node->SetLastWrite(Now());
        *changed = true;
        return ERROR_SUCCESS;
    });
}

// ---- Enumeration ----

DWORD RegistryStore::EnumKey(HKEY key, DWORD index, std::u16string* name, FILETIME* lastWrite) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    RegKey* node = nullptr;
    DWORD error = AccessLocked(key, KEY_ENUMERATE_SUB_KEYS, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (index >= node->SubKeys().size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto it = node->SubKeys().begin();
    std::advance(it, index);
    *name = it->second->Name();
    *lastWrite = it->second->LastWrite();
    return ERROR_SUCCESS;
}

DWORD RegistryStore::EnumValue(HKEY key, DWORD index, RegValue* value) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    RegKey* node = nullptr;
    DWORD error = AccessLocked(key, KEY_QUERY_VALUE, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (index >= node->Values().size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    *value = node->Values()[index];
    return ERROR_SUCCESS;
}

DWORD RegistryStore::QueryInfo(HKEY key, KeyInfo* info) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked(false);
    RegKey* node = nullptr;
    DWORD error = AccessLocked(key, KEY_QUERY_VALUE, &node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    *info = KeyInfo();
    info->subKeys = static_cast<DWORD>(node->SubKeys().size());
    for (const auto& sub : node->SubKeys()) {
        info->maxSubKeyLength =
            std::max(info->maxSubKeyLength, static_cast<DWORD>(sub.second->Name().size()));
    }
    info->values = static_cast<DWORD>(node->Values().size());
    for (const RegValue& value : node->Values()) {
        info->maxValueNameLength =
            std::max(info->maxValueNameLength, static_cast<DWORD>(value.name.size()));
        info->maxValueSize = std::max(info->maxValueSize, static_cast<DWORD>(value.data.size()));
    }
    info->lastWrite = node->LastWrite();
    return ERROR_SUCCESS;
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
