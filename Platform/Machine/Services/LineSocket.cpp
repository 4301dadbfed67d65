#include "Machine/Services/LineSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

// The address of the socket `path` names, and its length. sun_path holds 107 bytes, fewer than a
// machine directory's path may take: a path that does not fit is named in the abstract namespace
// instead, after a hash of its real path. The real path decides, so that every process finds the
// socket however it spells the directory (a short link to a long one).
socklen_t AddressOf(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::string real = path;
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        char* dir = realpath(slash == 0 ? "/" : path.substr(0, slash).c_str(), nullptr);
        if (dir != nullptr) {
            real =
                std::string(dir) + (std::strcmp(dir, "/") == 0 ? "" : "/") + path.substr(slash + 1);
            std::free(dir);
        }
    }
    if (real.size() < sizeof(address->sun_path)) {
        std::memcpy(address->sun_path, real.c_str(), real.size() + 1);
        return sizeof(sockaddr_un);
    }
    unsigned long long hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : real) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    // sun_path[0] stays 0: the abstract namespace, where the name ends with the length given.
    int length = std::snprintf(address->sun_path + 1, sizeof(address->sun_path) - 1,
                               "tarvik-sim/%016llx", hash);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

}  // namespace

UniqueFd ConnectLocal(const std::string& path) {
    sockaddr_un address;
    socklen_t length = AddressOf(path, &address);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        fd.Reset();
    }
    return fd;
}

UniqueFd ListenLocal(const std::string& path) {
    sockaddr_un address;
    socklen_t length = AddressOf(path, &address);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (address.sun_path[0] != '\0') {
        unlink(address.sun_path);  // a socket left by a host that died; a live one was asked first
    }
    if (fd && (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
               listen(fd.Get(), 16) != 0)) {
        fd.Reset();
    }
    return fd;
}

bool SendLine(int fd, const std::string& text) {
    std::string line = text + "\n";
    for (size_t sent = 0; sent < line.size();) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c;
    for (;;) {
        ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        *line += c;
    }
}

bool Ask(const std::string& socketPath, const std::string& request, std::string* reply) {
    reply->clear();
    UniqueFd fd = ConnectLocal(socketPath);
    return fd && SendLine(fd.Get(), request) && ReadLine(fd.Get(), reply);
}

}  // namespace sim
