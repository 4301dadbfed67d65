// The process's kernel objects and the handles that name them.
//
// An object lives while a handle or a user holds it: a running thread holds its own object, so
// closing a thread's handle while it runs is fine. Handles are process state: they survive
// Machine::Use. The table is created on first use and never destroyed.
//
// The signal state of a waitable object is read and changed only under the clock's lock
// (Machine::Get().Clock().Hold()); whoever changes it calls Clock::Notify before releasing it.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace sim {

class Clock;

class KernelObject {
public:
    virtual ~KernelObject() = default;
};

class Waitable : public KernelObject {
public:
    virtual bool Signaled() const = 0;
    // A satisfied wait takes the signal: an auto-reset event resets, a thread stays signalled.
    virtual void Acquire() {}
};

class EventObject : public Waitable {
public:
    EventObject(bool manualReset, bool signaled)
        : m_manualReset(manualReset), m_signaled(signaled) {}
    bool Signaled() const override { return m_signaled; }
    void Acquire() override { m_signaled = m_manualReset; }
    void Set(bool signaled) { m_signaled = signaled; }

private:
    const bool m_manualReset;
    bool m_signaled;
};

class ThreadObject : public Waitable {
public:
    ThreadObject(DWORD id, Clock* clock, DWORD suspendCount)
        : m_id(id), m_clock(clock), m_suspendCount(suspendCount) {}
    DWORD Id() const { return m_id; }
    Clock* CountedBy() const { return m_clock; }  // the clock the thread was added to
    bool Signaled() const override { return m_exited; }

    DWORD ExitCode() const { return m_exited ? m_exitCode : STILL_ACTIVE; }
    void Exit(DWORD code) {
        m_exited = true;
        m_exitCode = code;
    }
    DWORD SuspendCount() const { return m_suspendCount; }
    void Resume() { m_suspendCount -= m_suspendCount > 0 ? 1 : 0; }

private:
    const DWORD m_id;
    Clock* const m_clock;
    bool m_exited = false;
    DWORD m_exitCode = 0;
    DWORD m_suspendCount;
};

class HandleTable {
public:
    static HandleTable& Get();

    HANDLE Add(std::shared_ptr<KernelObject> object);
    std::shared_ptr<KernelObject> Find(HANDLE handle);
    template <class T>
    std::shared_ptr<T> FindAs(HANDLE handle) {
        return std::dynamic_pointer_cast<T>(Find(handle));
    }
    // False when `handle` names nothing.
    bool Close(HANDLE handle);

    // The event of that name if one exists (`*existed` true), else a new one by that name.
    // Names are case-sensitive, as the object manager's are.
    std::shared_ptr<EventObject> NamedEvent(const std::u16string& name, bool manualReset,
                                            bool signaled, bool* existed);

private:
    HandleTable() = default;

    std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_objects;
    std::map<std::u16string, std::weak_ptr<EventObject>> m_names;
    uintptr_t m_next = 0x100;
};

// The calling thread's id: the id CreateThread gave it, else one given at its first call.
DWORD CurrentThreadId();
void SetCurrentThreadId(DWORD id);
DWORD NewThreadId();

}  // namespace sim
