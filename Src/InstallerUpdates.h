// InstallerUpdates: the monitor that completes a DCB upgrade the installer left pending. Once the
// DCB service runs, it has the service's executable unregister and register itself again, then
// clears the installer's flag. With no pending upgrade its worker ends at once.
#pragma once

#include <windows.h>

#include "GenericMonitor.h"
#include "ZelString.h"

class InstallerUpdates : public GenericMonitor {
public:
    InstallerUpdates();
    virtual ~InstallerUpdates();

    virtual bool SpawnThread();

    // The worker's body: checks about once a second until the upgrade is completed, none is
    // pending, or a stop is requested. Always true.
    bool DoMonitor();

    bool IsDCBUpdateReqd();
    bool IsDcbServiceRunning();
    // True when both commands could be started (and have ended); their exit codes do not count.
    bool CompleteDcbUpgrade();
    // Starts `strCommandLine` (its first, quoted token names the executable) in `strDirectory`
    // and, with `bWait`, waits for it to end. True when the process was created.
    bool ExecuteCommand(const CZelString& strCommandLine, bool bWait,
                        const CZelString& strDirectory);

private:
    static DWORD WINAPI ThreadProc(LPVOID pParameter);
};
