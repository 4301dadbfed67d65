// machine-view: shows what a program running on a simulated machine sees of it — the registry
// under a key, the environment, a text file written through the runtime, the OS version, the
// clock — and writes the trace file of the support library as the service does.
//
//   TARVIK_MACHINE=<machine dir> machine-view [HKLM sub-key]
#include <windows.h>

#include "OSType.h"
#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelString.h"

#include "Support/ScopedHandles.h"

#include <io.h>
#include <stdio.h>
#include <wchar.h>

#include <string.h>

#include <string>
#include <vector>

CZelDebug g_ZelDebug;

namespace {

using test::ScopedKey;

std::string Utf8(const WCHAR* text, int length = -1) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, nullptr, nullptr);
    if (length == -1) {
        out.pop_back();  // the terminator
    }
    return out;
}

std::string ValueText(DWORD type, const std::vector<BYTE>& data, DWORD size) {
    const WCHAR* text = reinterpret_cast<const WCHAR*>(data.data());
    char buffer[64];
    switch (type) {
        case REG_SZ:
            return "REG_SZ \"" + Utf8(text) + "\"";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ \"" + Utf8(text) + "\"";
        case REG_DWORD: {
            DWORD value = 0;
            memcpy(&value, data.data(), sizeof value);
            snprintf(buffer, sizeof buffer, "REG_DWORD 0x%08x (%u)", static_cast<unsigned>(value),
                     static_cast<unsigned>(value));
            return buffer;
        }
        case REG_MULTI_SZ: {
            std::string out = "REG_MULTI_SZ";
            for (DWORD i = 0; i + 1 < size / sizeof(WCHAR) && text[i] != 0;) {
                std::string entry = Utf8(text + i);
                out += " \"" + entry + "\"";
                while (text[i] != 0) {
                    ++i;
                }
                ++i;
            }
            return out;
        }
        default:
            snprintf(buffer, sizeof buffer, "type %u, %u bytes", static_cast<unsigned>(type),
                     static_cast<unsigned>(size));
            return buffer;
    }
}

void ShowKey(HKEY parent, const std::basic_string<WCHAR>& name, int depth) {
    ScopedKey key;
    LONG result = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, key.Receive());
    std::string indent(static_cast<size_t>(depth) * 2, ' ');
    if (result != ERROR_SUCCESS) {
        printf("%s[%s] cannot be opened: error %d\n", indent.c_str(), Utf8(name.c_str()).c_str(),
               static_cast<int>(result));
        return;
    }
    printf("%s[%s]\n", indent.c_str(), Utf8(name.c_str()).c_str());
    for (DWORD index = 0;; ++index) {
        WCHAR valueName[512];
        DWORD nameLength = 512;
        DWORD type = 0;
        std::vector<BYTE> data(4096);
        DWORD size = static_cast<DWORD>(data.size());
        result = RegEnumValueW(key.Get(), index, valueName, &nameLength, nullptr, &type,
                               data.data(), &size);
        if (result != ERROR_SUCCESS) {
            break;
        }
        data.resize(size + sizeof(WCHAR));  // a terminator for unterminated strings
        printf("%s  \"%s\" = %s\n", indent.c_str(), Utf8(valueName).c_str(),
               ValueText(type, data, size).c_str());
    }
    for (DWORD index = 0;; ++index) {
        WCHAR subKey[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.Get(), index, subKey, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        ShowKey(key.Get(), subKey, depth + 1);
    }
}

void ShowEnvironment() {
    WCHAR temp[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(TEXT("Temp"), temp, MAX_PATH);
    printf("Environment: Temp=%s (%u characters), ANSI code page %u\n",
           length > 0 && length < MAX_PATH ? Utf8(temp).c_str() : "(none)",
           static_cast<unsigned>(length), static_cast<unsigned>(GetACP()));
}

void ShowTextFile() {
    const WCHAR* path = TEXT("C:\\Windows\\Temp\\machine-view.txt");
    FILE* file = _wfopen(path, TEXT("w"));
    if (file == nullptr) {
        printf("File: %s cannot be created\n", Utf8(path).c_str());
        return;
    }
    fwprintf(file, TEXT("%s\tPID:%x\t%I64X\n"), TEXT("Caf\u00e9"), GetCurrentProcessId(),
             static_cast<unsigned long long>(0x2F3A4B5C6DULL));
    fflush(file);
    long length = _filelength(_fileno(file));
    fclose(file);
    printf("File: wrote %s, %ld bytes (narrow text, CR LF line ends)\n", Utf8(path).c_str(),
           length);
}

void ShowClock() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    DWORD before = GetTickCount();
    Sleep(10000);
    DWORD after = GetTickCount();
    printf("Clock: local time %04u-%02u-%02u %02u:%02u:%02u.%03u, performance counter %llX\n",
           now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
           static_cast<unsigned long long>(counter.QuadPart));
    printf("Clock: GetTickCount %u, after Sleep(10000) %u: %u ms passed on the machine\n",
           static_cast<unsigned>(before), static_cast<unsigned>(after),
           static_cast<unsigned>(after - before));
}

void ShowVersion() {
    COSType os;
    DebugTrace(TEXT("OS code %d, IsWin8OrLater=%d, IsWin10=%d"), os.GetOSType(), os.IsWin8OrLater(),
               os.IsWin10());
    printf("Version: OS code %d%s%s\n", os.GetOSType(),
           os.IsWin8OrLater() ? ", Windows 8 or later" : "", os.IsWin10() ? ", Windows 10" : "");
}

void ShowTrace() {
    if (g_ZelDebug.Configure(TEXT("TALM"), TEXT("MachineView.txt"), 1, 0, 0) != 0) {
        printf("Trace: not configured (no ZEL2 key, or \"TRACE\" is 0)\n");
        return;
    }
    CZelRegKey zel2;
    CZelString directory;
    if (zel2.Open(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2"), false) &&
        zel2.GetValue(TEXT("InstalledDir"), directory)) {
        printf("Trace: level %u, %s\\MachineView.txt\n",
               static_cast<unsigned>(g_ZelDebug.GetCurrentLogLevel()), Utf8(directory).c_str());
    }
    DebugTrace(TEXT("Entering main"));
    std::vector<CZelString> components;
    zel2.GetValue(TEXT("Components"), components);
    for (size_t i = 0; i < components.size(); ++i) {
        DebugTrace(TEXT("Component %d: %s"), static_cast<int>(i), components[i].c_str());
    }
    DWORD timeout = 0;
    CZelRegKey service;
    if (service.Open(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM\\Service"),
                     false)) {
        service.GetValue(TEXT("HVMonTimeout"), timeout);
    }
    DebugTrace(TEXT("HVMonTimeout=%d"), timeout);
    g_ZelDebug.Error(TEXT("Tools\\MachineView"), __LINE__, TEXT("WARNING:  %s"),
                     TEXT("an error line, written at every level but 0"));
}

void RecordVisit() {
    ScopedKey key;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\ORVEX\\MachineView"), 0,
                                  nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                                  key.Receive(), &disposition);
    if (result != ERROR_SUCCESS) {
        printf("Registry: cannot create the visit key: error %d\n", static_cast<int>(result));
        return;
    }
    DWORD visits = 0;
    DWORD size = sizeof visits;
    RegQueryValueExW(key.Get(), TEXT("Visits"), nullptr, nullptr, reinterpret_cast<BYTE*>(&visits),
                     &size);
    ++visits;
    RegSetValueExW(key.Get(), TEXT("Visits"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&visits),
                   sizeof visits);
    printf("Registry: HKLM\\SOFTWARE\\ORVEX\\MachineView %s, Visits = %u\n",
           disposition == REG_CREATED_NEW_KEY ? "created" : "opened",
           static_cast<unsigned>(visits));
}

}  // namespace

int main(int argc, char** argv) {
    std::basic_string<WCHAR> root = TEXT("SOFTWARE\\ORVEX");
    if (argc > 1) {
        WCHAR buffer[1024];
        if (MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, buffer, 1024) > 0) {
            root = buffer;
        }
    }
    printf("Registry under HKEY_LOCAL_MACHINE:\n");
    ShowKey(HKEY_LOCAL_MACHINE, root, 1);
    ShowTrace();
    ShowEnvironment();
    ShowVersion();
    ShowTextFile();
    RecordVisit();
    ShowClock();
    DebugTrace(TEXT("Exiting main"));
    return 0;
}
