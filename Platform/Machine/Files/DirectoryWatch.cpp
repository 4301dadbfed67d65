#include "Machine/Files/DirectoryWatch.h"

#include <errno.h>
#include <pthread.h>
#include <sys/inotify.h>

#include <atomic>

namespace sim {

namespace {

std::atomic<unsigned> g_forks{0};

constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                              IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// After these the watch no longer follows what the directory's path names.
constexpr uint32_t kWatchLost = IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF;

void CountForks() {
    static const int registered =
        pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); });
    (void)registered;
}

}  // namespace

DirectoryWatch::DirectoryWatch(const std::string& dir) {
    CountForks();
    m_forks = g_forks.load(std::memory_order_relaxed);
    m_queue.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (m_queue && inotify_add_watch(m_queue.Get(), dir.c_str(), kChanges) < 0) {
        m_queue.Reset();
    }
}

bool DirectoryWatch::Changed() {
    bool any = false;
    if (!m_queue || m_forks != g_forks.load(std::memory_order_relaxed) || !Drain(&any)) {
        m_queue.Reset();
        return true;
    }
    return any;
}

bool DirectoryWatch::Drain(bool* any) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t got = read(m_queue.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 && errno == EAGAIN;  // EAGAIN: nothing more is queued
        }
        *any = true;
        for (ssize_t at = 0; at < got;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((event->mask & kWatchLost) != 0) {
                return false;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace sim
