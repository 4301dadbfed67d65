// The machine's file system: Windows paths mapped into the machine directory (C:\Windows is
// drive_c/Windows), names matched without regard to case as on NTFS, and the process's current
// directory and drive. An in-memory machine has no drives: every path fails to map.
#pragma once

#include <windef.h>
#include <winerror.h>

#include <string>

namespace sim {

class FileSystem {
public:
    FileSystem(const std::string& machineDir, const std::u16string& currentDirectory);

    // The absolute Windows path of `path` ("x", "\x", "C:x", "C:\x", with "/" or "\", "." and
    // ".." resolved), as GetFullPathNameW gives it.
    std::u16string FullPath(const std::u16string& path) const;

    // The full path a file operation of this process reaches (FullPath, then WOW64's file system
    // redirector): for a 32-bit process on a 64-bit machine, %windir%\system32 is
    // %windir%\SysWOW64 but for the folders Windows exempts, and %windir%\Sysnative is the real
    // system32. Other processes reach the path as it is.
    std::u16string TargetPath(const std::u16string& path) const;

    // The host path a Windows path names, after the redirector. Existing components are found
    // without regard to case; a missing last component keeps the case given. Fails with
    // ERROR_PATH_NOT_FOUND when the drive or a directory on the way does not exist.
    DWORD HostPath(const std::u16string& path, std::string* hostPath);

    // The directory of the process's executable as a Windows path, when the process was started
    // from one of the machine's drives (as tarvik-sim starts a service); empty otherwise.
    std::u16string ApplicationDirectory();

    std::u16string CurrentDirectory() const;

private:
    std::string m_machineDir;
    std::u16string m_currentDirectory;  // always "X:\..." with a backslash after the drive
};

}  // namespace sim
