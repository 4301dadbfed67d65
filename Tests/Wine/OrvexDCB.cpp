// A stand-in for the DCB component under Wine. Without arguments it runs as the service
// "OrvexDCB" until stopped; with arguments ("/Unreg", "/RegServer") it appends its whole command
// line and its current directory to C:\OrvexDCB-calls.txt and exits, so the test can check both.
#include <windows.h>

#include <stdio.h>

namespace {

SERVICE_STATUS_HANDLE g_status;
HANDLE g_stopped;

void Report(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stopped);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    g_status = RegisterServiceCtrlHandlerExW(TEXT("OrvexDCB"), Handler, NULL);
    if (g_status == NULL) {
        return;
    }
    g_stopped = CreateEventW(NULL, TRUE, FALSE, NULL);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stopped, INFINITE);
    Report(SERVICE_STOPPED);
}

int RecordCall() {
    WCHAR directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    FILE* log = _wfopen(TEXT("C:\\OrvexDCB-calls.txt"), TEXT("a"));
    if (log == NULL) {
        return 1;
    }
    fwprintf(log, TEXT("%s|%s\n"), GetCommandLineW(), directory);
    fclose(log);
    return 0;
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        return RecordCall();
    }
    WCHAR name[] = TEXT("OrvexDCB");
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {NULL, NULL}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
