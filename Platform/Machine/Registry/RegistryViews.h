// The two registry views of 64-bit Windows. A 32-bit process's HKLM\SOFTWARE is the key
// HKLM\SOFTWARE\Wow6432Node, except for the keys Windows shares between the views (Microsoft's
// "Registry Keys Affected by WOW64", the column for Windows 7 / Server 2008 R2 and later); the
// rest of the registry (HKLM\SYSTEM among it) is shared. Not modelled: the redirected COM keys
// under HKEY_CURRENT_USER\Software\Classes, and reflection, which Windows 7 removed.
#pragma once

#include <string>
#include <vector>

namespace sim {

extern const char16_t kWow6432Node[];

// The key a path names in the 32-bit view (`view32`) or the 64-bit one. `path` is the root's
// name ("HKEY_LOCAL_MACHINE") and the names below it. A path through Wow6432Node names the
// 32-bit view whatever the view asked for, as it does on Windows.
std::vector<std::u16string> KeyInView(const std::vector<std::u16string>& path, bool view32);

// Whether `path` lies in a 32-bit view's own keys (under HKLM\SOFTWARE\Wow6432Node).
bool IsInWow6432Node(const std::vector<std::u16string>& path);

}  // namespace sim
