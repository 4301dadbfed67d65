// The service process's side of the service control manager: the dispatcher that a host
// (ServiceHost.h) started this process for, the control handler, and status reports.
//
// The host names its socket in TARVIK_SERVICE_HOST. The dispatcher keeps two connections to it:
// one on which the host sends controls and the dispatcher answers with the handler's result
// (the handler runs on the dispatcher's thread, as on Windows), and one for status reports, each
// acknowledged before SetServiceStatus returns, so the host knows every status the handler
// reported by the time it hears that the handler returned.
#pragma once

#include <windows.h>

namespace sim {
namespace dispatcher {

constexpr const char* kHostVariable = "TARVIK_SERVICE_HOST";

// Returns when the service has reported SERVICE_STOPPED; the Win32 error otherwise.
DWORD Run(const SERVICE_TABLE_ENTRYW* table);
DWORD RegisterHandler(LPHANDLER_FUNCTION_EX handler, LPVOID context, SERVICE_STATUS_HANDLE* handle);
DWORD ReportStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status);

}  // namespace dispatcher
}  // namespace sim
