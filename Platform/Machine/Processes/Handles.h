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

#include <memory>
#include <mutex>
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

private:
    const bool m_manualReset;
    bool m_signaled;
};

class ThreadObject : public Waitable {
public:
    ThreadObject(DWORD id, Clock* clock) : m_id(id), m_clock(clock) {}
    DWORD Id() const { return m_id; }
    Clock* CountedBy() const { return m_clock; }  // the clock the thread was added to
    bool Signaled() const override { return m_exited; }
    void Exit() { m_exited = true; }

private:
    const DWORD m_id;
    Clock* const m_clock;
    bool m_exited = false;
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

private:
    HandleTable() = default;

    std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> m_objects;
    uintptr_t m_next = 0x100;
};

// The calling thread's id: the id CreateThread gave it, else one given at its first call.
DWORD CurrentThreadId();
void SetCurrentThreadId(DWORD id);
DWORD NewThreadId();

}  // namespace sim
