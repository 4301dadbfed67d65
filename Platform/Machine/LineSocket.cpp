#include "Machine/LineSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace sim {

namespace {

bool AddressOf(const std::string& path, sockaddr_un* address) {
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof(address->sun_path)) {
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

int ConnectLocal(const std::string& path) {
    sockaddr_un address;
    if (!AddressOf(path, &address)) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int ListenLocal(const std::string& path) {
    sockaddr_un address;
    if (!AddressOf(path, &address)) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());  // a socket left by a host that died; a live one was asked first
    if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
                    listen(fd, 16) != 0)) {
        close(fd);
        fd = -1;
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
    int fd = ConnectLocal(socketPath);
    if (fd < 0) {
        return false;
    }
    bool ok = SendLine(fd, request) && ReadLine(fd, reply);
    close(fd);
    return ok;
}

}  // namespace sim
