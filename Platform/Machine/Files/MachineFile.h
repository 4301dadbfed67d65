// What the machine's shared files (registry.reg, hyperv.json) need of the file system: whole
// reads and writes, and the version of a file as its stat tells it, so that a process re-reads a
// file only when another one has replaced it.
#pragma once

#include <sys/stat.h>

#include <string>

namespace sim {

struct FileVersion {
    bool exists = false;
    unsigned long long device = 0, inode = 0, size = 0;
    long long mtimeSec = 0, mtimeNsec = 0;

    static FileVersion Of(const struct stat& st);
    bool operator==(const FileVersion& other) const;
    bool operator!=(const FileVersion& other) const { return !(*this == other); }
};

// Reads to the end of the file, retrying interrupted reads; false on an error.
bool ReadAll(int fd, std::string* bytes);
// Writes every byte, retrying interrupted and partial writes; false on an error.
bool WriteAll(int fd, const std::string& bytes);

}  // namespace sim
