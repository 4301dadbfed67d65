// A generic monitor whose worker does what the test chooses, and whose thread the test joins.
#pragma once

#include "GenericMonitor.h"

#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace test {

class ProbeMonitor : public GenericMonitor {
public:
    enum Work { kReturnAtOnce, kPauseUntilStop, kIgnoreStopUntilReleased };

    explicit ProbeMonitor(Work work) : m_work(work) {}
    ~ProbeMonitor() override { Join(); }

    bool SpawnThread() override {
        m_hThread.Reset(CreateThread(NULL, 0, ThreadProc, this, 0, NULL));
        return m_hThread != NULL;
    }

    // False when the worker has not begun within 10 s of real time; no machine time passes.
    bool WaitUntilStarted() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!m_bStarted && std::chrono::steady_clock::now() < end) {
            Sleep(0);
        }
        return m_bStarted;
    }
    void Join() {
        if (m_hThread != NULL) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hThread, 70000));
            m_hThread.Reset();
        }
    }
    void Release() { m_bReleased = true; }
    void SetTimeoutRule(DWORD dwDefault, const WCHAR* pszName) {
        m_dwDefaultTimeout = dwDefault;
        m_strTimeoutValueName = pszName;
    }
    using GenericMonitor::GetState;
    using GenericMonitor::SetState;

private:
    static DWORD WINAPI ThreadProc(LPVOID pParameter) {
        static_cast<ProbeMonitor*>(pParameter)->DoMonitor();
        return 0;
    }
    void DoMonitor() {
        SetState(MONITOR_RUNNING);
        m_bStarted = true;
        if (m_work == kPauseUntilStop) {
            while (!CheckForStopCommand(1)) {
            }
        }
        while (m_work == kIgnoreStopUntilReleased && !m_bReleased) {
            Sleep(100);
        }
        SetState(MONITOR_STOPPED);
    }

    Work m_work;
    ScopedHandle m_hThread;
    std::atomic<bool> m_bStarted{false};
    std::atomic<bool> m_bReleased{false};
};

}  // namespace test
