// A file descriptor with one owner: closed when its owner goes, moved but never copied.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace sim {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    explicit operator bool() const { return Valid(); }

    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes what it held and takes `fd`.
    void Reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// Opens a pipe (pipe2's `flags`) into the two owners; false, leaving them as they were, when none
// can be made.
inline bool OpenPipe(UniqueFd* readEnd, UniqueFd* writeEnd, int flags = 0) {
    int ends[2];
    if (pipe2(ends, flags) != 0) {
        return false;
    }
    readEnd->Reset(ends[0]);
    writeEnd->Reset(ends[1]);
    return true;
}

}  // namespace sim
