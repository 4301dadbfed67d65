// Trace files and the registry values the tests set, for tests that run on Windows and on the
// simulated machine alike.
#pragma once

#include <windows.h>

#include "Support/ScopedHandles.h"  // SetDword

#include <string>
#include <vector>

namespace test {

// Under HKEY_LOCAL_MACHINE: the trace's and the service's settings.
const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");
const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM");

// The directory of the environment's "Temp", and a path in it.
std::basic_string<WCHAR> TempDirectory();
std::basic_string<WCHAR> TempPath(const WCHAR* name);

// The whole file as bytes; empty when it does not exist.
std::string ReadBytes(const std::basic_string<WCHAR>& path);
bool FileExists(const std::basic_string<WCHAR>& path);

// The lines of a trace file, each without its "\r\n"; `from` skips that many bytes first.
std::vector<std::string> ReadLines(const std::basic_string<WCHAR>& path, size_t from = 0);

// The message of a trace line: what follows the header's two closing tabs.
std::string MessageOf(const std::string& line);

// A value of HKEY_LOCAL_MACHINE\`key`, the key created when missing: a string (deleted when `text`
// is null), or data of any type. A DWORD: SetDword.
void SetString(const WCHAR* key, const WCHAR* name, const WCHAR* text);
void SetRaw(const WCHAR* key, const WCHAR* name, DWORD type, const void* data, DWORD size);
// HKEY_LOCAL_MACHINE\`key` with all it holds.
void DeleteKey(const WCHAR* key);

}  // namespace test
