// Trace files and the trace's registry key, for tests that run on Windows and on the simulated
// machine alike.
#pragma once

#include <windows.h>

#include "Support/ScopedHandles.h"

#include <string>
#include <vector>

namespace test {

// The directory of the environment's "Temp", and a path in it.
std::basic_string<WCHAR> TempDirectory();
std::basic_string<WCHAR> TempPath(const WCHAR* name);

// The whole file as bytes; empty when it does not exist.
std::string ReadBytes(const std::basic_string<WCHAR>& path);
bool FileExists(const std::basic_string<WCHAR>& path);
void WriteBytes(const std::basic_string<WCHAR>& path, const std::string& bytes);

// The lines of a trace file, each without its "\r\n"; `from` skips that many bytes first.
std::vector<std::string> ReadLines(const std::basic_string<WCHAR>& path, size_t from = 0);

// The message of a trace line: what follows the header's two closing tabs.
std::string MessageOf(const std::string& line);
// The tier the header shows, or -1 for a line without a header.
int TierOf(const std::string& line);

// HKEY_LOCAL_MACHINE\SOFTWARE\ORVEX\Zuzuvoz_Orodavov\ZEL2, where the trace finds its settings.
class Zel2Key {
public:
    Zel2Key();  // creates the key; it is left in place afterwards

    void SetTrace(DWORD level);
    void SetInstalledDir(const std::basic_string<WCHAR>& dir);
    void Remove(const WCHAR* name);
    static void DeleteKey();  // the key itself, with its values

private:
    ScopedKey m_key;
};

}  // namespace test
