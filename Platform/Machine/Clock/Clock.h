// The machine's clock, and the one place where platform threads wait.
//
// Machine time counts in 100 ns units from the clock's start. GetTickCount is machine.json's
// startTick plus the elapsed milliseconds; QueryPerformanceCounter counts at 10 MHz; the local
// time is the "localTime" setting (or the host's local time when the clock started) plus the
// elapsed time, in the host's time zone.
//
// Scaled mode: machine time = scale x real time since an epoch that every process of the machine
// shares: the file `clock` in the machine directory, made by the first process that needs it
// (written aside, then hard-linked into place, so a reader never sees half of it). A file left
// from before the host booted is replaced. An in-memory machine starts its clock with the
// process. Waits last their machine time divided by the scale.
//
// Virtual mode (one process, for tests): machine time stands still while any platform thread
// runs, and jumps to the earliest deadline when every one of them waits in a platform call.
// Platform threads are those made by CreateThread (counted from the moment they are created, so
// a thread that has not run yet holds time back), those attached with AttachCurrentThread, and,
// only while it waits, any other thread that waits through the clock.
//
// Every wait is Wait(): its condition is read under the clock's lock, and whoever changes what a
// condition reads does so under the same lock and calls Notify() before releasing it. Notify()
// marks every blocked waiter runnable at once, under the lock, so that time cannot move between
// an event being set and its waiter waking up: a woken thread counts as running until it has
// looked at its condition again and found it still false. So:
//  - a thread that sets an event and then sleeps: the event's waiter is runnable before the
//    sleeper blocks, and time moves only after the waiter has run and waits again;
//  - a thread being created counts from CreateThread, before the host thread exists;
//  - a thread that ends stops counting under the same lock that signals its handle, and time
//    may then move at once if every other thread waits.
// If every thread waits without a deadline, nothing wakes them (as on Windows).
//
// Machine::Use destroys the clock: attached threads must have ended or detached before.
#pragma once

#include "Machine/Settings/Settings.h"

#include <windef.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <type_traits>

namespace sim {

class Clock {
public:
    static constexpr LONGLONG kUnitsPerMs = 10000;
    static constexpr LONGLONG kNever = INT64_MAX;

    Clock(const ClockSettings& settings, const std::string& machineDir);
    ~Clock();
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    LONGLONG Now();  // machine time since the start, 100 ns units
    DWORD TickCount() { return static_cast<DWORD>(TickCount64()); }
    ULONGLONG TickCount64();
    LONGLONG PerformanceCounter();
    SYSTEMTIME LocalTime();
    // GetLocalTime's: as of the host's last timer tick, as Windows' moves with its own tick;
    // LocalTime() when the host's tick, in machine time, is longer than Windows' 15.625 ms.
    SYSTEMTIME TickLocalTime();

    using Lock = std::unique_lock<std::mutex>;
    Lock Hold() { return Lock(m_lock); }
    // Under the lock, after changing what a waiter's condition reads.
    void Notify(const Lock& hold);
    // Under the lock: waits until ready() (called under the lock) is true, or until `timeoutMs`
    // of machine time have passed (INFINITE: no limit). True when ready() was. Allocates nothing,
    // so that waits and critical sections work while the allocation hook fails allocations.
    template <class Ready>
    bool Wait(Lock& hold, DWORD timeoutMs, Ready&& ready) {
        using Callable = std::remove_reference_t<Ready>;
        return WaitFor(
            hold, timeoutMs, [](void* context) { return (*static_cast<Callable*>(context))(); },
            const_cast<void*>(static_cast<const void*>(&ready)));
    }
    void Sleep(DWORD ms);

    // Switches the mode with machine time running on from where it is; while no thread waits.
    void SetVirtual(bool on);

    // The calling thread holds virtual time back whenever it runs, until it detaches.
    void AttachCurrentThread();
    void DetachCurrentThread();
    class Attachment {
    public:
        explicit Attachment(Clock& clock) : m_clock(clock) { m_clock.AttachCurrentThread(); }
        ~Attachment() { m_clock.DetachCurrentThread(); }
        Attachment(const Attachment&) = delete;
        Attachment& operator=(const Attachment&) = delete;

    private:
        Clock& m_clock;
    };

    // CreateThread's side: AddThread() by the creator before the thread can run (RemoveThread()
    // if it cannot be made), ThreadStarted() first thing on the new thread, and RemoveThread()
    // as it ends, after signalling its handle under the same lock.
    void AddThread();
    void ThreadStarted();
    void RemoveThread(const Lock& hold);

private:
    struct Waiter {
        LONGLONG deadline;
        bool blocked;
        Waiter* next;
    };

    bool WaitFor(Lock& hold, DWORD timeoutMs, bool (*ready)(void*), void* context);

    // Machine time as of the host's monotonic `hostClock`, without the lock.
    LONGLONG NowBy(clockid_t hostClock);
    // Machine time from one read of its state: under the lock, or inside NowBy()'s version check.
    LONGLONG ReadNow(clockid_t hostClock = CLOCK_MONOTONIC) const;
    SYSTEMTIME LocalTimeAt(LONGLONG machineTime) const;
    // Under the lock: the only way to change what Now() reads (see NowBy()).
    template <class Change>
    void Publish(Change&& change);
    std::chrono::steady_clock::time_point RealTimeOf(LONGLONG machineTime) const;
    void Block(Waiter& self);
    void Unblock(Waiter& waiter);
    void AdvanceIfIdle();
    static SYSTEMTIME CivilTime(LONGLONG msSince1970);

    std::mutex m_lock;
    std::condition_variable m_changed;
    const double m_scale;
    const ULONGLONG m_startTick;
    const clockid_t m_tickClock;  // TickLocalTime's host clock
    LONGLONG m_localStartMs = 0;  // local civil time at the start, ms since 1970-01-01
    // What Now() reads: changed under the lock, through Publish(), and read without it.
    std::atomic<unsigned> m_version{0};  // odd while Publish() changes the rest
    std::atomic<bool> m_virtual;
    std::atomic<LONGLONG> m_virtualNow{0};
    // Scaled: machine time = m_baseMachine + scale x (monotonic ns - m_baseRealNs) / 100.
    std::atomic<LONGLONG> m_baseMachine{0};
    std::atomic<LONGLONG> m_baseRealNs{0};
    int m_threads = 0;            // platform threads counted now
    int m_blocked = 0;            // of those, blocked in Wait
    Waiter* m_waiters = nullptr;  // every thread in Wait, linked through their stacks
};

}  // namespace sim
