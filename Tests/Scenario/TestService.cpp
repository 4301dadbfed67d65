// A small service of our own for the service control manager's scenario tests: start-pending
// checkpoints, running with stop and pre-shutdown accepted, and a stop completed inside the
// handler. Exits with the dispatcher's error when it cannot reach a service control manager.
#include <windows.h>

#include <stdio.h>

namespace {

WCHAR g_name[] = TEXT("TestService");
SERVICE_STATUS_HANDLE g_status = NULL;
HANDLE g_stopped = NULL;

void Report(DWORD state, DWORD checkPoint, DWORD waitHint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PRESHUTDOWN:
            Report(SERVICE_STOP_PENDING, 1, 500);
            Report(SERVICE_STOP_PENDING, 2, 500);
            Report(SERVICE_STOPPED, 0, 0);
            SetEvent(g_stopped);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_status = RegisterServiceCtrlHandlerExW(g_name, Handler, NULL);
    if (g_status == NULL) {
        return;
    }
    g_stopped = CreateEventW(NULL, TRUE, FALSE, NULL);
    for (DWORD checkPoint = 1; checkPoint <= 3; ++checkPoint) {
        Report(SERVICE_START_PENDING, checkPoint, 1000);
        Sleep(10);
    }
    Report(SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(g_stopped, INFINITE);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYW table[] = {{g_name, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD error = GetLastError();
        printf("dispatcher: error %lu\n", static_cast<unsigned long>(error));
        return static_cast<int>(error);
    }
    return 0;
}
