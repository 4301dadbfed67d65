// Whether anything in a directory may have changed since the last look, for one read of an
// inotify queue instead of a stat of each file. The kernel queues the event inside the writer's
// own call (write, rename, unlink), so a change another process has finished is reported by the
// next Changed() of every process.
#pragma once

#include "Machine/Files/UniqueFd.h"

#include <string>

namespace sim {

class DirectoryWatch {
public:
    explicit DirectoryWatch(const std::string& dir);

    // False only when nothing in the directory was created, written, renamed or removed since
    // the previous call. Always true once the watch cannot tell: no inotify, a queue that
    // overflowed, the directory itself moved or removed, or in a forked child (which shares its
    // parent's queue, so reading it would take the parent's events).
    bool Changed();

private:
    // Reads what is queued: whether any event came, and whether the watch is still good.
    bool Drain(bool* any);

    UniqueFd m_queue;
    unsigned m_forks = 0;  // forks of the process when the queue was opened
};

}  // namespace sim
