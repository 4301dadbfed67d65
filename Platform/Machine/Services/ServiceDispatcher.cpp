#include "Machine/Services/ServiceDispatcher.h"

#include "Machine/Services/LineSocket.h"

#include "Machine/Services/Services.h"
#include "Machine/Settings/Settings.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace sim {
namespace dispatcher {

namespace {

// The one status handle of an own-process service.
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x7A10);

struct State {
    std::mutex lock;
    bool started = false;
    bool stopped = false;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID context = nullptr;
    UniqueFd report;
    UniqueFd wakeRead, wakeWrite;
    std::u16string name;
    std::vector<WCHAR> argument;  // the service's name as its one argument
    LPSERVICE_MAIN_FUNCTIONW main = nullptr;
};

State& Get() {
    static State* state = new State();
    return *state;
}

DWORD WINAPI ServiceThread(LPVOID) {
    State& state = Get();
    LPWSTR argv[] = {state.argument.data(), nullptr};
    state.main(1, argv);
    return 0;
}

}  // namespace

DWORD Run(const SERVICE_TABLE_ENTRYW* table) {
    State& state = Get();
    const char* socketPath = std::getenv(kHostVariable);
    if (socketPath == nullptr || *socketPath == '\0') {
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.started) {
            return ERROR_SERVICE_ALREADY_RUNNING;
        }
        state.started = true;
    }
    UniqueFd control = ConnectLocal(socketPath);
    std::string line;
    if (!control || !SendLine(control.Get(), "dispatcher " + std::to_string(getpid())) ||
        !ReadLine(control.Get(), &line) || line.compare(0, 6, "start ") != 0) {
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    UniqueFd report = ConnectLocal(socketPath);
    std::string ok;
    UniqueFd wakeRead, wakeWrite;
    if (!report || !SendLine(report.Get(), "reporter") || !ReadLine(report.Get(), &ok) ||
        ok != "ok" || !OpenPipe(&wakeRead, &wakeWrite, O_CLOEXEC)) {
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.report = std::move(report);
        state.wakeRead = std::move(wakeRead);
        state.wakeWrite = std::move(wakeWrite);
        // An own-process service runs its table's first entry whatever the name.
        state.name = Utf8ToUtf16(line.substr(6));
        state.argument.assign(state.name.begin(), state.name.end());
        state.argument.push_back(0);
        state.main = table[0].lpServiceProc;
    }
    HANDLE thread = CreateThread(NULL, 0, ServiceThread, NULL, 0, NULL);
    if (thread == NULL) {
        return ERROR_SERVICE_NO_THREAD;
    }
    CloseHandle(thread);

    for (;;) {
        pollfd fds[2] = {{control.Get(), POLLIN, 0}, {state.wakeRead.Get(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> hold(state.lock);
            if (state.stopped) {
                break;
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        if (!ReadLine(control.Get(), &line)) {
            break;  // the host is gone
        }
        std::istringstream in(line);
        std::string word;
        DWORD code = 0;
        in >> word >> code;
        LPHANDLER_FUNCTION_EX handler;
        LPVOID context;
        {
            std::lock_guard<std::mutex> hold(state.lock);
            handler = state.handler;
            context = state.context;
        }
        DWORD result = handler != nullptr ? handler(code, 0, nullptr, context)
                                          : static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        SendLine(control.Get(), "done " + std::to_string(result));
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.stopped) {
            break;
        }
    }
    return ERROR_SUCCESS;
}

DWORD RegisterHandler(LPHANDLER_FUNCTION_EX handler, LPVOID context,
                      SERVICE_STATUS_HANDLE* handle) {
    State& state = Get();
    std::lock_guard<std::mutex> hold(state.lock);
    if (!state.report) {
        return ERROR_SERVICE_NOT_IN_EXE;
    }
    state.handler = handler;
    state.context = context;
    *handle = kStatusHandle;
    return ERROR_SUCCESS;
}

DWORD ReportStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS& status) {
    State& state = Get();
    std::lock_guard<std::mutex> hold(state.lock);
    if (handle != kStatusHandle || !state.report) {
        return ERROR_INVALID_HANDLE;
    }
    ServiceStatus report;
    report.type = status.dwServiceType;
    report.state = status.dwCurrentState;
    report.controlsAccepted = status.dwControlsAccepted;
    report.exitCode = status.dwWin32ExitCode;
    report.specificExitCode = status.dwServiceSpecificExitCode;
    report.checkPoint = status.dwCheckPoint;
    report.waitHint = status.dwWaitHint;
    report.processId = static_cast<DWORD>(getpid());
    std::string reply;
    if (!SendLine(state.report.Get(), "status " + FormatStatus(report)) ||
        !ReadLine(state.report.Get(), &reply) || reply != "ok") {
        return ERROR_BROKEN_PIPE;
    }
    if (status.dwCurrentState == SERVICE_STOPPED && !state.stopped) {
        state.stopped = true;
        char byte = 1;
        ssize_t written = write(state.wakeWrite.Get(), &byte, 1);
        (void)written;
    }
    return ERROR_SUCCESS;
}

}  // namespace dispatcher
}  // namespace sim
