// The live Hyper-V topology of a machine, shared by its processes.
#pragma once

#include "Machine/Files/DirectoryWatch.h"
#include "Machine/Files/MachineFile.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Files/UniqueFd.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace sim {

// The live topology of a machine, shared by its processes: hyperv.json in the machine directory
// once anyone changed it, else machine.json's. Each Current() costs one read of a watch on the
// machine directory, and one stat only when something in it changed; the file is re-read only
// when its inode, size or modification time moved. Changes are read-modify-writes
// under an exclusive flock of hyperv.lock, written through a temporary file, fsync and rename.
// An in-memory machine (no directory) keeps its changes in memory. Safe from any thread.
class HyperVStore {
public:
    static constexpr const char* kFileName = "hyperv.json";
    static constexpr const char* kLockName = "hyperv.lock";

    // `initial`: machine.json's topology; none: the machine has no Hyper-V unless a hyperv.json
    // says otherwise.
    HyperVStore(std::string machineDir, std::optional<HyperVTopology> initial);
    HyperVStore(const HyperVStore&) = delete;
    HyperVStore& operator=(const HyperVStore&) = delete;

    // The latest topology; null: no Hyper-V. `*changed` tells whether it may differ from what the
    // previous call that asked was given (true on the first). A malformed hyperv.json stops the
    // process, as a malformed machine.json does.
    std::shared_ptr<const HyperVTopology> Current(bool* changed = nullptr);

    // Applies `change` to the latest topology and writes the result, if `change` returns "" and
    // the result passes CheckTopology; otherwise returns the error and writes nothing. `change`
    // must not call back into the store.
    std::string Update(const std::function<std::string(HyperVTopology&)>& change);

private:
    void RefreshLocked();
    std::string WriteLocked(const HyperVTopology& topology);
    void HoldLocked(UniqueFd fd, const FileVersion& version);

    std::string m_dir;
    std::string m_path;  // hyperv.json's; in memory, its name only
    std::shared_ptr<const HyperVTopology> m_initial;
    std::optional<DirectoryWatch> m_watch;  // of m_dir; none in memory
    std::mutex m_lock;
    std::shared_ptr<const HyperVTopology> m_current;
    bool m_loaded = false;
    bool m_changed = true;  // since the last Current() that asked
    FileVersion m_version;  // of hyperv.json as last read or written; absent: m_initial in use
    UniqueFd m_heldFile;    // that version, kept open so that its inode cannot come back
};

}  // namespace sim
