// The machine's registry: the key tree, the process's open key handles, and the files that hold
// the registry between processes.
//
// On disk, in the machine directory:
//   registry.reg  the non-volatile keys (RegFile.h's format), what survives a reboot;
//   volatile.reg  the volatile keys: gone on Windows at reboot, here shared by the machine's
//                 processes until whoever restarts the machine removes the file;
//   registry.lock taken with flock: exclusive for a change, shared for a re-read.
// Every change rewrites both files (volatile.reg first, each through a temporary file, fsync and
// rename), so a new registry.reg announces any change. Every call first compares registry.reg's
// inode, size and modification time with the version this process read (one stat) and re-reads
// both files when they differ. The file read last is kept open, so that its inode cannot be
// reused by a later version. An in-memory machine (no directory) keeps the tree in memory only.
//
// Handles name keys by path. A key deleted through this process is deleted for every handle of
// this process open on it or below it; a key another process deleted is noticed when its path no
// longer resolves. Either way its handles give ERROR_KEY_DELETED. (A key deleted and made again
// under the same name by another process between two calls of this one is taken for the old.)
//
// A 64-bit machine has two views of HKLM\SOFTWARE (RegistryViews.h). A handle names the key it
// was opened on and remembers its view, which a path relative to it keeps unless
// KEY_WOW64_32KEY or KEY_WOW64_64KEY asks for the other; a predefined key has the process's view.
//
// All methods return a Win32 error code and are safe to call from any thread.
#pragma once

#include "Machine/Files/MachineFile.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Files/UniqueFd.h"

#include <windef.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class RegistryStore {
public:
    explicit RegistryStore(const std::string& machineDir);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    struct KeyInfo {
        DWORD subKeys = 0;
        DWORD maxSubKeyLength = 0;  // characters, no terminator
        DWORD values = 0;
        DWORD maxValueNameLength = 0;  // characters, no terminator
        DWORD maxValueSize = 0;        // bytes
        FILETIME lastWrite{};
    };

    static bool IsPredefined(HKEY key);

    // `subKey` relative to `parent`, backslash-separated; an empty one opens `parent` again.
    DWORD Open(HKEY parent, const std::u16string& subKey, REGSAM access, HKEY* result);
    // Makes the missing keys of `subKey` (volatile ones with REG_OPTION_VOLATILE).
    DWORD Create(HKEY parent, const std::u16string& subKey, DWORD options, REGSAM access,
                 HKEY* result, DWORD* disposition);
    DWORD Close(HKEY key);
    // Deletes `subKey` (empty: `key` itself) if it has no subkeys; `access` may name a view.
    DWORD DeleteKey(HKEY key, const std::u16string& subKey, REGSAM access = 0);
    DWORD Flush(HKEY key);

    DWORD QueryValue(HKEY key, const std::u16string& name, RegValue* value);
    DWORD SetValue(HKEY key, RegValue value);
    DWORD DeleteValue(HKEY key, const std::u16string& name);

    DWORD EnumKey(HKEY key, DWORD index, std::u16string* name, FILETIME* lastWrite);
    DWORD EnumValue(HKEY key, DWORD index, RegValue* value);
    DWORD QueryInfo(HKEY key, KeyInfo* info);

    // The latest tree, read whole (for tools and the machine's own subsystems). Neither `read`
    // nor `change` may call back into the registry.
    void Read(const std::function<void(const RegKey& tree)>& read);
    // A change of any size as one read-modify-write under the machine's lock. `change` returns
    // true when it changed the tree (which is then written back).
    DWORD Update(const std::function<bool(RegKey& tree)>& change);

private:
    struct Handle {
        std::vector<std::u16string> path;  // from the tree's top: the root's name first
        REGSAM access = 0;
        bool deleted = false;
        bool view32 = false;  // opened in a 32-bit view: paths relative to it stay there
    };
    using Path = std::vector<std::u16string>;

    static FILETIME CurrentFileTime();
    void RefreshLocked(bool haveExclusiveLock);
    void LoadLocked(bool haveExclusiveLock);
    DWORD WriteLocked();
    UniqueFd TakeFileLock(int operation);
    // With the file lock held: the latest tree, `change` applied, the files written if it says so.
    DWORD ChangeLocked(const std::function<DWORD(bool* changed)>& change);

    DWORD ResolveLocked(HKEY key, Handle* handle, RegKey** node);
    // The key `subKey` names below `key` in the view `access` asks for, as a path from the top:
    // `handle` is `key`'s, and `handle.path` becomes that path, `handle.view32` its view.
    DWORD ResolvePathLocked(HKEY key, const std::u16string& subKey, REGSAM access, Handle* handle);
    // The key at `path`, or null; `spelled` (when given) gets the names as the keys spell them.
    RegKey* FindLocked(const Path& path, Path* spelled);
    // The subkeys of `node` at `path`, in enumeration order: a 32-bit view's key also lists the
    // keys it shares with the 64-bit view.
    std::vector<const RegKey*> SubKeysLocked(const Path& path, const RegKey& node);
    DWORD AccessLocked(HKEY key, REGSAM needed, RegKey** node);
    // Runs `read` on the latest tree's key, opened for `needed`, under the store's lock.
    DWORD ReadKey(HKEY key, REGSAM needed,
                  const std::function<DWORD(const Path& path, const RegKey& node)>& read);
    HKEY AddHandleLocked(Handle handle, REGSAM access);
    void MarkDeletedLocked(const std::vector<std::u16string>& path);

    std::string m_dir;
    std::mutex m_lock;
    std::unique_ptr<RegKey> m_tree;
    FileVersion m_version;  // of registry.reg as last read or written
    UniqueFd m_heldFile;    // that version, kept open
    bool m_stale = false;   // a write failed: re-read whatever is on disk
    std::map<uintptr_t, Handle> m_handles;
    uintptr_t m_nextHandle = 0x4000;
};

}  // namespace sim
