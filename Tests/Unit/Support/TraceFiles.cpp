#include "Support/TraceFiles.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace test {

namespace {

const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");

}  // namespace

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

void WriteBytes(const std::basic_string<WCHAR>& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), TEXT("wb"));
    if (file != NULL) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
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

int TierOf(const std::string& line) {
    size_t tier = line.find("\tTIER ");
    return tier == std::string::npos ? -1 : atoi(line.c_str() + tier + 6);
}

Zel2Key::Zel2Key() {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZel2Key, 0, NULL, REG_OPTION_NON_VOLATILE,
                    KEY_READ | KEY_WRITE, NULL, m_key.Receive(), NULL);
}

void Zel2Key::SetTrace(DWORD level) {
    RegSetValueExW(m_key, TEXT("TRACE"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                   sizeof level);
}

void Zel2Key::SetInstalledDir(const std::basic_string<WCHAR>& dir) {
    RegSetValueExW(m_key, TEXT("InstalledDir"), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(dir.c_str()),
                   static_cast<DWORD>((dir.size() + 1) * sizeof(WCHAR)));
}

void Zel2Key::Remove(const WCHAR* name) {
    RegDeleteValueW(m_key, name);
}

void Zel2Key::DeleteKey() {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kZel2Key);
}

}  // namespace test
