// Lines of text over a local (AF_UNIX) socket in the machine directory: how a service's host, the
// service's dispatcher and the machine's other processes talk. A socket whose path is too long
// for a socket address is named in the abstract namespace after a hash of its real path instead.
#pragma once

#include <string>

namespace sim {

int ConnectLocal(const std::string& path);  // -1 when nobody listens there
int ListenLocal(const std::string& path);   // replaces a socket a dead host left; -1 on failure
bool SendLine(int fd, const std::string& text);
bool ReadLine(int fd, std::string* line);
// One request and its one-line reply on a connection of its own.
bool Ask(const std::string& socketPath, const std::string& request, std::string* reply);

}  // namespace sim
