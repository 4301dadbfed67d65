// Lines of text over a local (AF_UNIX) socket in the machine directory: how a service's host, the
// service's dispatcher and the machine's other processes talk. A socket whose path is too long
// for a socket address is named in the abstract namespace after a hash of its real path instead.
#pragma once

#include "Machine/Files/UniqueFd.h"

#include <string>

namespace sim {

// None when nobody listens there.
UniqueFd ConnectLocal(const std::string& path);
// Replaces a socket a dead host left; none on failure.
UniqueFd ListenLocal(const std::string& path);
bool SendLine(int fd, const std::string& text);
bool ReadLine(int fd, std::string* line);
// One request and its one-line reply on a connection of its own.
bool Ask(const std::string& socketPath, const std::string& request, std::string* reply);

}  // namespace sim
