// The service control manager's host for one service, as tarvik-sim runs it: starts the
// executable the service database registers, as a child process on the machine, and serves the
// socket through which the service's dispatcher reports its status and every other process
// queries and controls it. Every status the service reports is appended to scm.jsonl.
#pragma once

#include "Machine/Files/UniqueFd.h"

#include <windef.h>

#include <string>

namespace sim {

// The host's socket protocol, one request line and one reply line per connection unless noted:
//   query                 -> <status>                       (FormatStatus's eight numbers)
//   control <code>        -> <error> <status>               after the handler returned
//   dispatcher <pid>      -> start <service name>, then:    host: control <code>
//                                                           service: done <handler's result>
//   reporter              -> ok, then per report:           status <status> -> ok
//
// Runs the host in this process until the service's process has ended. `ready` (a file
// descriptor, or none) gets one line once the start is decided, and is closed then: the Win32
// error of the start, 0 when the dispatcher connected. Returns that error, or 0 when the service
// ran.
DWORD RunServiceHost(const std::u16string& service, UniqueFd ready);

// The executable an image path names, found as CreateProcess finds one in an unquoted path
// ("C:\Program Files\x.exe" is tried as "C:\Program" first), mapped to the host: the host path
// and the arguments after it. ERROR_FILE_NOT_FOUND when none exists.
DWORD FindImage(const std::u16string& imagePath, std::string* hostPath, std::string* arguments);

}  // namespace sim
