#include "Support/TraceFiles.h"

#include "Support/ScopedHandles.h"
#include "ZelRegKey.h"

#include <stdio.h>
#include <wchar.h>

namespace test {

std::basic_string<WCHAR> TempDirectory() {
    WCHAR buffer[MAX_PATH] = {0};
    GetEnvironmentVariableW(TEXT("Temp"), buffer, MAX_PATH);
    return buffer;
}

std::basic_string<WCHAR> TempPath(const WCHAR* name) {
    return TempDirectory() + TEXT("\\") + name;
}

std::string ReadBytes(const std::basic_string<WCHAR>& path) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), TEXT("rb"));
    if (file == NULL) {
        return bytes;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, n);
    }
    fclose(file);
    return bytes;
}

bool FileExists(const std::basic_string<WCHAR>& path) {
    FILE* file = _wfopen(path.c_str(), TEXT("rb"));
    if (file == NULL) {
        return false;
    }
    fclose(file);
    return true;
}

std::vector<std::string> ReadLines(const std::basic_string<WCHAR>& path, size_t from) {
    std::string bytes = ReadBytes(path);
    std::vector<std::string> lines;
    size_t start = from;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string MessageOf(const std::string& line) {
    size_t tier = line.find("\tTIER ");
    size_t tabs = tier == std::string::npos ? tier : line.find("\t\t", tier);
    return tabs == std::string::npos ? line : line.substr(tabs + 2);
}

void SetString(const WCHAR* key, const WCHAR* name, const WCHAR* text) {
    std::basic_string<WCHAR> value(text != NULL ? text : TEXT(""));
    SetRaw(key, name, REG_SZ, text, static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
}

void SetRaw(const WCHAR* key, const WCHAR* name, DWORD type, const void* data, DWORD size) {
    ScopedKey hKey;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL, hKey.Receive(),
                    NULL);
    if (data == NULL) {
        RegDeleteValueW(hKey, name);
    } else {
        RegSetValueExW(hKey, name, 0, type, static_cast<const BYTE*>(data), size);
    }
}

void DeleteKey(const WCHAR* key) {
    std::basic_string<WCHAR> path(key);
    size_t slash = path.rfind(TEXT('\\'));
    CZelRegKey parent;
    if (parent.Open(HKEY_LOCAL_MACHINE, path.substr(0, slash).c_str(), true)) {
        parent.DeleteSubKey(path.substr(slash + 1).c_str());
    }
}

}  // namespace test
