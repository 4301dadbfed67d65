#include "Machine/Clock/Clock.h"

#include "Machine/Machine.h"
#include "Machine/Files/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace sim {

namespace {

// The clock this thread counts in, if any (virtual time: see the header).
thread_local Clock* t_attached = nullptr;

// LocalTime's last second on this thread (seconds since 1970, local) and its civil time.
thread_local LONGLONG t_civilSecond = INT64_MIN;
thread_local SYSTEMTIME t_civil;

LONGLONG MonotonicNs(clockid_t id = CLOCK_MONOTONIC) {
    timespec ts;
    clock_gettime(id, &ts);
    return static_cast<LONGLONG>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

LONGLONG RealtimeMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<LONGLONG>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LONGLONG FloorDiv(LONGLONG a, LONGLONG b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and back.
LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
    y -= m <= 2;
    LONGLONG era = FloorDiv(y, 400);
    LONGLONG yoe = y - era * 400;
    LONGLONG doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    LONGLONG doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(LONGLONG z, LONGLONG* y, unsigned* m, unsigned* d) {
    z += 719468;
    LONGLONG era = FloorDiv(z, 146097);
    LONGLONG doe = z - era * 146097;
    LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    LONGLONG mp = (5 * doy + 2) / 153;
    *d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    *y = yoe + era * 400 + (*m <= 2);
}

// The host's coarse clock (a few ns a read, where the precise one takes tens) when its tick,
// scaled to machine time, is no longer than Windows' default timer tick.
clockid_t TickClock(double scale) {
    timespec tick;
    bool fits = clock_getres(CLOCK_MONOTONIC_COARSE, &tick) == 0 && tick.tv_sec == 0 &&
                static_cast<double>(tick.tv_nsec) * scale <= 15625000;
    return fits ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC;
}

struct Epoch {
    LONGLONG monotonicNs;
    LONGLONG realtimeMs;
};

bool ReadEpoch(const std::string& path, Epoch* epoch) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string key1, key2;
    if (!(in >> key1 >> epoch->monotonicNs >> key2 >> epoch->realtimeMs) ||
        key1 != "monotonic-ns" || key2 != "realtime-ms") {
        Machine::Stop(path + ": not a clock file (delete it to restart the machine's clock)");
    }
    return true;
}

// A file holding `epoch`, beside `path`; its name.
std::string WriteEpochAside(const std::string& path, const Epoch& epoch) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(mkstemp(temp.data()));
    std::string text = "monotonic-ns " + std::to_string(epoch.monotonicNs) + "\nrealtime-ms " +
                       std::to_string(epoch.realtimeMs) + "\n";
    if (!fd || write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        Machine::Stop(path + ": cannot be written");
    }
    return temp;
}

}  // namespace

Clock::Clock(const ClockSettings& settings, const std::string& machineDir)
    : m_scale(settings.scale),
      m_startTick(settings.startTick),
      m_tickClock(TickClock(settings.scale)),
      m_virtual(settings.virtualTime) {
    Epoch epoch{MonotonicNs(), RealtimeMs()};
    if (!m_virtual && !machineDir.empty()) {
        // Only scaled time is shared between processes; a virtual clock starts with its process.
        std::string path = machineDir + "/clock";
        Epoch mine = epoch;
        for (;;) {
            if (ReadEpoch(path, &epoch) && epoch.monotonicNs <= mine.monotonicNs) {
                break;
            }
            bool stale = access(path.c_str(), F_OK) == 0;
            std::string temp = WriteEpochAside(path, mine);
            // link() fails if another process got there first: then its epoch is the one.
            int made =
                stale ? rename(temp.c_str(), path.c_str()) : link(temp.c_str(), path.c_str());
            int error = errno;
            unlink(temp.c_str());
            if (made == 0) {
                epoch = mine;
                break;
            }
            if (error != EEXIST) {
                Machine::Stop(path + ": cannot be written");
            }
        }
    }
    m_baseRealNs = epoch.monotonicNs;

    time_t seconds = static_cast<time_t>(FloorDiv(epoch.realtimeMs, 1000));
    tm local;
    localtime_r(&seconds, &local);
    if (settings.localTime.empty()) {
        m_localStartMs = epoch.realtimeMs + static_cast<LONGLONG>(local.tm_gmtoff) * 1000;
    } else {
        int y = 0, mo = 1, d = 1, h = 0, mi = 0, s = 0;
        std::sscanf(settings.localTime.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi,
                    &s);
        m_localStartMs =
            ((DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 +
             mi) *
                60000 +
            s * 1000LL;
    }
}

Clock::~Clock() = default;

LONGLONG Clock::ReadNow(clockid_t hostClock) const {
    if (m_virtual.load(std::memory_order_acquire)) {
        return m_virtualNow.load(std::memory_order_acquire);
    }
    LONGLONG baseMachine = m_baseMachine.load(std::memory_order_acquire);
    LONGLONG baseRealNs = m_baseRealNs.load(std::memory_order_acquire);
    LONGLONG elapsedNs = MonotonicNs(hostClock) - baseRealNs;
    if (m_scale == 1) {
        // Exact, as the scaling below is for the 104 days its doubles hold every nanosecond.
        return baseMachine + std::max<LONGLONG>(0, elapsedNs / 100);
    }
    double elapsed = static_cast<double>(elapsedNs) * m_scale / 100;
    return baseMachine + std::max<LONGLONG>(0, static_cast<LONGLONG>(elapsed));
}

template <class Change>
void Clock::Publish(Change&& change) {
    unsigned version = m_version.load(std::memory_order_relaxed);
    // Seen by every reader before the change reads the host's clock (a full barrier): a reader
    // whose host time is later than the change's then reads again.
    m_version.store(version + 1, std::memory_order_seq_cst);
    change();
    m_version.store(version + 2, std::memory_order_release);
}

std::chrono::steady_clock::time_point Clock::RealTimeOf(LONGLONG machineTime) const {
    double ns = std::ceil(static_cast<double>(machineTime - m_baseMachine) * 100 / m_scale);
    double delay =
        std::min(1e17, static_cast<double>(m_baseRealNs) + ns - static_cast<double>(MonotonicNs()));
    return std::chrono::steady_clock::now() +
           std::chrono::nanoseconds(std::max<LONGLONG>(0, static_cast<LONGLONG>(delay)));
}

LONGLONG Clock::Now() {
    return NowBy(CLOCK_MONOTONIC);
}

LONGLONG Clock::NowBy(clockid_t hostClock) {
    // Every trace line reads the clock twice: no lock. Publish() makes the version odd, stores
    // with release and makes it even: a read whose acquire loads met any of its stores also sees
    // the odd version, so a read between two equal even versions saw one whole state.
    for (;;) {
        unsigned version = m_version.load(std::memory_order_acquire);
        LONGLONG now = ReadNow(hostClock);
        if (version % 2 == 0 && m_version.load(std::memory_order_relaxed) == version) {
            return now;
        }
    }
}

ULONGLONG Clock::TickCount64() {
    return m_startTick + static_cast<ULONGLONG>(Now() / kUnitsPerMs);
}

LONGLONG Clock::PerformanceCounter() {
    return static_cast<LONGLONG>(m_startTick) * kUnitsPerMs + Now();
}

SYSTEMTIME Clock::CivilTime(LONGLONG ms) {
    LONGLONG days = FloorDiv(ms, 86400000);
    LONGLONG inDay = ms - days * 86400000;
    LONGLONG year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wDayOfWeek =
        static_cast<WORD>(FloorDiv(days + 4, 7) * -7 + days + 4);  // 1970-01-01: Thursday
    st.wHour = static_cast<WORD>(inDay / 3600000);
    st.wMinute = static_cast<WORD>(inDay / 60000 % 60);
    st.wSecond = static_cast<WORD>(inDay / 1000 % 60);
    st.wMilliseconds = static_cast<WORD>(inDay % 1000);
    return st;
}

SYSTEMTIME Clock::LocalTime() {
    return LocalTimeAt(Now());
}

SYSTEMTIME Clock::TickLocalTime() {
    return LocalTimeAt(NowBy(m_tickClock));
}

SYSTEMTIME Clock::LocalTimeAt(LONGLONG machineTime) const {
    LONGLONG ms = m_localStartMs + machineTime / kUnitsPerMs;
    LONGLONG second = FloorDiv(ms, 1000);
    // Every trace line asks: the date is worked out once a second, not once a line.
    if (second != t_civilSecond) {
        t_civil = CivilTime(second * 1000);
        t_civilSecond = second;
    }
    SYSTEMTIME st = t_civil;
    st.wMilliseconds = static_cast<WORD>(ms - second * 1000);
    return st;
}

void Clock::Block(Waiter& self) {
    self.blocked = true;
    ++m_blocked;
}

void Clock::Unblock(Waiter& waiter) {
    if (waiter.blocked) {
        waiter.blocked = false;
        --m_blocked;
    }
}

void Clock::Notify(const Lock&) {
    for (Waiter* waiter = m_waiters; waiter != nullptr; waiter = waiter->next) {
        Unblock(*waiter);
    }
    m_changed.notify_all();
}

void Clock::AdvanceIfIdle() {
    if (!m_virtual || m_threads == 0 || m_blocked < m_threads) {
        return;
    }
    LONGLONG next = kNever;
    for (const Waiter* waiter = m_waiters; waiter != nullptr; waiter = waiter->next) {
        if (waiter->blocked) {
            next = std::min(next, waiter->deadline);
        }
    }
    if (next == kNever) {
        return;
    }
    Publish([&] {
        m_virtualNow.store(std::max(m_virtualNow.load(std::memory_order_relaxed), next),
                           std::memory_order_release);
    });
    for (Waiter* waiter = m_waiters; waiter != nullptr; waiter = waiter->next) {
        if (waiter->deadline <= m_virtualNow) {
            Unblock(*waiter);
        }
    }
    m_changed.notify_all();
}

bool Clock::WaitFor(Lock& hold, DWORD timeoutMs, bool (*ready)(void*), void* context) {
    LONGLONG deadline =
        timeoutMs == INFINITE ? kNever : ReadNow() + static_cast<LONGLONG>(timeoutMs) * kUnitsPerMs;
    // A thread that is not attached holds time back only while it is in here.
    bool counted = t_attached == this;
    if (!counted) {
        ++m_threads;
    }
    Waiter self{deadline, false, m_waiters};
    m_waiters = &self;
    bool done;
    for (;;) {
        if (ready(context)) {
            done = true;
            break;
        }
        if (ReadNow() >= deadline) {
            done = false;
            break;
        }
        Block(self);
        if (m_virtual) {
            AdvanceIfIdle();
            while (self.blocked && m_virtual) {
                m_changed.wait(hold);
            }
        } else if (deadline == kNever) {
            m_changed.wait(hold);
        } else {
            m_changed.wait_until(hold, RealTimeOf(deadline));
        }
        Unblock(self);
    }
    Waiter** link = &m_waiters;
    while (*link != &self) {
        link = &(*link)->next;
    }
    *link = self.next;
    if (!counted) {
        --m_threads;
        AdvanceIfIdle();
    }
    return done;
}

void Clock::Sleep(DWORD ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    Lock hold(m_lock);
    Wait(hold, ms, [] { return false; });
}

void Clock::SetVirtual(bool on) {
    Lock hold(m_lock);
    if (on == m_virtual) {
        return;
    }
    Publish([&] {
        if (on) {
            m_virtualNow.store(ReadNow(), std::memory_order_release);
        } else {
            m_baseMachine.store(m_virtualNow.load(std::memory_order_relaxed),
                                std::memory_order_release);
            m_baseRealNs.store(MonotonicNs(), std::memory_order_release);
        }
        m_virtual.store(on, std::memory_order_release);
    });
    Notify(hold);
}

void Clock::AttachCurrentThread() {
    Lock hold(m_lock);
    if (t_attached != this) {
        t_attached = this;
        ++m_threads;
    }
}

void Clock::DetachCurrentThread() {
    Lock hold(m_lock);
    if (t_attached == this) {
        t_attached = nullptr;
        --m_threads;
        AdvanceIfIdle();
    }
}

void Clock::AddThread() {
    Lock hold(m_lock);
    ++m_threads;
}

void Clock::ThreadStarted() {
    t_attached = this;
}

void Clock::RemoveThread(const Lock&) {
    --m_threads;
    AdvanceIfIdle();
}

}  // namespace sim
