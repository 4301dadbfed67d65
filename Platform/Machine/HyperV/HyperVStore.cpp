#include "Machine/HyperV/HyperVStore.h"

#include "Machine/Machine.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace sim {

namespace {

const char kNoHyperV[] = "this machine has no Hyper-V (no \"hyperv\" in machine.json)";

}  // namespace

HyperVStore::HyperVStore(std::string machineDir, std::optional<HyperVTopology> initial)
    : m_dir(std::move(machineDir)), m_path(m_dir.empty() ? kFileName : m_dir + "/" + kFileName) {
    if (initial) {
        m_initial = std::make_shared<const HyperVTopology>(std::move(*initial));
    }
    if (!m_dir.empty()) {
        m_watch.emplace(m_dir);  // before the first stat, so that no later change goes unseen
    }
}

void HyperVStore::HoldLocked(UniqueFd fd, const FileVersion& version) {
    m_heldFile = std::move(fd);
    m_version = version;
}

void HyperVStore::RefreshLocked() {
    if (m_dir.empty()) {
        if (!m_loaded) {
            m_current = m_initial;
            m_loaded = true;
        }
        return;
    }
    if (m_loaded && !m_watch->Changed()) {
        return;
    }
    FileVersion now;
    struct stat st;
    if (stat(m_path.c_str(), &st) == 0) {
        now = FileVersion::Of(st);
    }
    if (m_loaded && now == m_version) {
        return;
    }
    m_loaded = true;
    m_changed = true;
    UniqueFd fd(now.exists ? open(m_path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    if (!fd && (!now.exists || errno == ENOENT)) {
        // Never changed, or reset by removing the file: machine.json's topology again.
        HoldLocked(UniqueFd(), FileVersion());
        m_current = m_initial;
        return;
    }
    std::string bytes;
    if (!fd || fstat(fd.Get(), &st) != 0 || !ReadAll(fd.Get(), &bytes)) {
        Machine::Stop(m_path + ": cannot be read: " + std::strerror(errno));
    }
    try {
        m_current = std::make_shared<const HyperVTopology>(ParseTopology(bytes, m_path));
    } catch (const std::runtime_error& e) {
        Machine::Stop(e.what());
    }
    // The version read, which may be newer than the one stat saw.
    HoldLocked(std::move(fd), FileVersion::Of(st));
}

std::shared_ptr<const HyperVTopology> HyperVStore::Current(bool* changed) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked();
    if (changed != nullptr) {
        *changed = m_changed;
        m_changed = false;
    }
    return m_current;
}

std::string HyperVStore::WriteLocked(const HyperVTopology& topology) {
    std::string temporary = m_path + ".tmp";
    UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    struct stat st;
    if (!fd) {
        return m_path + ": cannot be written: " + std::strerror(errno);
    }
    if (!WriteAll(fd.Get(), WriteTopology(topology)) || fsync(fd.Get()) != 0 ||
        fstat(fd.Get(), &st) != 0 || rename(temporary.c_str(), m_path.c_str()) != 0) {
        std::string error = m_path + ": cannot be written: " + std::strerror(errno);
        unlink(temporary.c_str());
        return error;
    }
    HoldLocked(std::move(fd), FileVersion::Of(st));
    return "";
}

std::string HyperVStore::Update(const std::function<std::string(HyperVTopology&)>& change) {
    std::lock_guard<std::mutex> hold(m_lock);
    UniqueFd lockFd;
    if (!m_dir.empty()) {
        // Opened for each change: a forked child must not share its parent's lock.
        std::string lockPath = m_dir + "/" + kLockName;
        lockFd.Reset(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!lockFd) {
            return lockPath + ": cannot be opened: " + std::strerror(errno);
        }
        while (flock(lockFd.Get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                return lockPath + ": cannot be locked: " + std::strerror(errno);
            }
        }
    }
    RefreshLocked();
    std::string error;
    if (m_current == nullptr) {
        error = kNoHyperV;
    } else {
        HyperVTopology next = *m_current;
        error = change(next);
        if (error.empty()) {
            try {
                CheckTopology(next, m_path);
            } catch (const TopologyError& e) {
                error = e.what();
            }
        }
        if (error.empty() && !m_dir.empty()) {
            error = WriteLocked(next);
        }
        if (error.empty()) {
            m_current = std::make_shared<const HyperVTopology>(std::move(next));
            m_changed = true;
        }
    }
    return error;
}

}  // namespace sim
