// The registry store's files: registry.reg and volatile.reg read under a shared lock, written
// back atomically under the exclusive one.
#include "Machine/Registry/RegistryStore.h"

#include "Machine/Machine.h"

#include <winerror.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

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

}  // namespace

FILETIME RegistryStore::CurrentFileTime() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return ToFileTime(kUnixEpochAsFileTime + static_cast<unsigned long long>(ticks));
}

RegistryStore::RegistryStore(const std::string& machineDir)
    : m_dir(machineDir), m_tree(NewRegistryTree()) {
    if (!m_dir.empty()) {
        std::lock_guard<std::mutex> hold(m_lock);
        LoadLocked(false);
    } else {
        Stamp(*m_tree, CurrentFileTime());
    }
}

RegistryStore::~RegistryStore() = default;

UniqueFd RegistryStore::TakeFileLock(int operation) {
    // Opened for each use: a forked child must not share its parent's lock.
    std::string path = m_dir + "/" + kLockFile;
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        Machine::Stop(path + ": cannot be opened: " + std::strerror(errno));
    }
    while (flock(fd.Get(), operation) != 0) {
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
    UniqueFd lock = haveExclusiveLock ? UniqueFd() : TakeFileLock(LOCK_SH);
    auto tree = NewRegistryTree();
    FileVersion version;
    FILETIME stamp = CurrentFileTime();
    UniqueFd held;
    for (bool isVolatile : {false, true}) {
        std::string path = m_dir + "/" + (isVolatile ? kVolatileFile : kRegistryFile);
        UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd && errno == ENOENT) {
            continue;
        }
        std::string bytes;
        struct stat st;
        if (!fd || fstat(fd.Get(), &st) != 0 || !ReadAll(fd.Get(), &bytes)) {
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
            held = std::move(fd);
        }
    }
    lock.Reset();
    // The files keep no times: a key was last written when its file was.
    Stamp(*tree, stamp);
    m_tree = std::move(tree);
    m_heldFile = std::move(held);
    m_version = version;
    m_stale = false;
}

DWORD RegistryStore::WriteLocked() {
    // Both files go through a temporary file, fsync and rename: a process killed at any point
    // leaves the old or the new version of each. volatile.reg goes first, so that a reader who
    // sees the new registry.reg finds the volatile keys that go with it.
    auto replace = [&](const char* name, const std::string& bytes, UniqueFd* keep,
                       FileVersion* version) {
        std::string path = m_dir + "/" + name;
        std::string temporary = path + ".tmp";
        UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) {
            return false;
        }
        struct stat st;
        if (!WriteAll(fd.Get(), bytes) || fsync(fd.Get()) != 0 || fstat(fd.Get(), &st) != 0 ||
            rename(temporary.c_str(), path.c_str()) != 0) {
            unlink(temporary.c_str());
            return false;
        }
        if (keep != nullptr) {
            *keep = std::move(fd);
            *version = FileVersion::Of(st);
        }
        return true;
    };
    std::string volatileKeys = WriteRegFile(*m_tree, true);
    bool ok = volatileKeys.find('[') != std::string::npos
                  ? replace(kVolatileFile, volatileKeys, nullptr, nullptr)
                  : unlink((m_dir + "/" + kVolatileFile).c_str()) == 0 || errno == ENOENT;
    UniqueFd fd;
    FileVersion version;
    if (ok && replace(kRegistryFile, WriteRegFile(*m_tree, false), &fd, &version)) {
        m_heldFile = std::move(fd);
        m_version = version;
        return ERROR_SUCCESS;
    }
    m_stale = true;
    return ERROR_REGISTRY_IO_FAILED;
}

DWORD RegistryStore::ChangeLocked(const std::function<DWORD(bool* changed)>& change) {
    UniqueFd lock;
    if (!m_dir.empty()) {
        lock = TakeFileLock(LOCK_EX);
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
    return error;
}

}  // namespace sim
