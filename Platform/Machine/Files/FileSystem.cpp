#include "Machine/Files/FileSystem.h"

#include "Machine/Processes/Environment.h"
#include "Machine/Processes/ProcessImage.h"
#include "Machine/Settings/Settings.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

namespace sim {

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool IsDriveLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of `dir` whose name equals `name` without regard to case, or `name` itself.
std::string MatchEntry(const std::string& dir, const std::string& name) {
    std::string exact = dir + "/" + name;
    struct stat st;
    if (lstat(exact.c_str(), &st) == 0) {
        return name;
    }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return name;
    }
    std::u16string wanted = Utf8ToUtf16(name);
    std::string found = name;
    while (dirent* entry = readdir(d)) {
        if (EqualNoCase(Utf8ToUtf16(entry->d_name), wanted)) {
            found = entry->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

bool IsUnder(const std::u16string& path, const std::u16string& directory) {
    return path.size() >= directory.size() &&
           EqualNoCase(path.substr(0, directory.size()), directory) &&
           (path.size() == directory.size() || path[directory.size()] == u'\\');
}

// Microsoft's "File System Redirector" (Windows 7 and later). No static strings: the service's
// threads may open files while the process's static objects are destroyed.
std::u16string Redirected(const std::u16string& full) {
    const std::u16string system32 = u"C:\\Windows\\system32";
    const std::u16string sysnative = u"C:\\Windows\\Sysnative";
    static const char16_t* const exempt[] = {u"catroot",      u"catroot2", u"driverstore",
                                             u"drivers\\etc", u"logfiles", u"spool"};
    if (IsUnder(full, sysnative)) {
        return system32 + full.substr(sysnative.size());
    }
    if (!IsUnder(full, system32)) {
        return full;
    }
    for (const char16_t* folder : exempt) {
        if (IsUnder(full, system32 + u"\\" + folder)) {
            return full;
        }
    }
    return u"C:\\Windows\\SysWOW64" + full.substr(system32.size());
}

}  // namespace

FileSystem::FileSystem(const std::string& machineDir, const std::u16string& currentDirectory)
    : m_machineDir(machineDir), m_currentDirectory(u"C:\\") {
    m_currentDirectory = FullPath(currentDirectory);
}

std::u16string FileSystem::FullPath(const std::u16string& path) const {
    std::u16string drive = m_currentDirectory.substr(0, 2);
    std::u16string rest = path;
    bool rooted = false;
    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') {
        drive = std::u16string(1, UpperAscii(path[0])) + u":";
        rest = path.substr(2);
        rooted = !rest.empty() && IsSeparator(rest[0]);
        if (!rooted && UpperAscii(path[0]) != m_currentDirectory[0]) {
            rooted = true;  // one current directory per process: another drive's is its root
        }
    } else {
        rooted = !rest.empty() && IsSeparator(rest[0]);
    }
    std::vector<std::u16string> parts;
    auto split = [&parts](const std::u16string& text) {
        std::u16string part;
        for (size_t i = 0; i <= text.size(); ++i) {
            if (i == text.size() || IsSeparator(text[i])) {
                if (part == u"..") {
                    if (!parts.empty()) {
                        parts.pop_back();
                    }
                } else if (!part.empty() && part != u".") {
                    parts.push_back(part);
                }
                part.clear();
            } else {
                part += text[i];
            }
        }
    };
    if (!rooted) {
        split(m_currentDirectory.substr(2));
    }
    split(rest);
    std::u16string full = drive + u"\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        full += parts[i];
        if (i + 1 < parts.size()) {
            full += u"\\";
        }
    }
    if (!path.empty() && IsSeparator(path.back()) && !parts.empty()) {
        full += u"\\";
    }
    return full;
}

std::u16string FileSystem::TargetPath(const std::u16string& path) const {
    std::u16string full = FullPath(path);
    return IsWow64Process() ? Redirected(full) : full;
}

DWORD FileSystem::HostPath(const std::u16string& path, std::string* hostPath) {
    if (m_machineDir.empty() || path.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::u16string full = TargetPath(path);
    char drive = static_cast<char>(full[0] - u'A' + 'a');
    std::string host = m_machineDir + "/drive_" + drive;
    if (!IsDirectory(host)) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::vector<std::string> parts;
    std::u16string part;
    for (size_t i = 3; i <= full.size(); ++i) {
        if (i == full.size() || full[i] == u'\\') {
            if (!part.empty()) {
                parts.push_back(Utf16ToUtf8(part));
            }
            part.clear();
        } else {
            part += full[i];
        }
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        host += "/" + MatchEntry(host, parts[i]);
        if (i + 1 < parts.size() && !IsDirectory(host)) {
            return ERROR_PATH_NOT_FOUND;
        }
    }
    *hostPath = host;
    return ERROR_SUCCESS;
}

std::u16string FileSystem::ApplicationDirectory() {
    // The image as it was started, before symbolic links: a program linked into a drive lies
    // where the link is.
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string image;
    std::getline(in, image, '\0');
    size_t slash = image.rfind('/');
    char directory[PATH_MAX];
    char machine[PATH_MAX];
    if (m_machineDir.empty() || slash == std::string::npos ||
        realpath(image.substr(0, slash + 1).c_str(), directory) == nullptr ||
        realpath(m_machineDir.c_str(), machine) == nullptr) {
        return u"";
    }
    std::string host = directory;
    std::string drives = std::string(machine) + "/drive_";
    if (host.compare(0, drives.size(), drives) != 0 || host.size() == drives.size() ||
        !IsDriveLetter(static_cast<char16_t>(host[drives.size()])) ||
        (host.size() > drives.size() + 1 && host[drives.size() + 1] != '/')) {
        return u"";
    }
    std::u16string windows = std::u16string(1, UpperAscii(host[drives.size()])) + u":\\";
    std::u16string rest = Utf8ToUtf16(host.substr(std::min(host.size(), drives.size() + 2)));
    for (char16_t& c : rest) {
        c = c == u'/' ? u'\\' : c;
    }
    return windows + rest;
}

std::u16string FileSystem::CurrentDirectory() const {
    return m_currentDirectory;
}

}  // namespace sim
