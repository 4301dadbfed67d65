#include "Machine/Files/MachineFile.h"

#include <errno.h>
#include <unistd.h>

namespace sim {

FileVersion FileVersion::Of(const struct stat& st) {
    FileVersion version;
    version.exists = true;
    version.device = st.st_dev;
    version.inode = st.st_ino;
    version.size = static_cast<unsigned long long>(st.st_size);
    version.mtimeSec = st.st_mtim.tv_sec;
    version.mtimeNsec = st.st_mtim.tv_nsec;
    return version;
}

bool FileVersion::operator==(const FileVersion& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && mtimeSec == other.mtimeSec && mtimeNsec == other.mtimeNsec;
}

bool ReadAll(int fd, std::string* bytes) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        bytes->append(buffer, static_cast<size_t>(got));
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

}  // namespace sim
