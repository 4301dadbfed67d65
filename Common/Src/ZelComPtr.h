// CZelComPtr: owner of one reference to a COM interface, released when the holder goes or is
// reset, so that an exception between getting an object and releasing it cannot leak it.
#pragma once

#include <stddef.h>

template <class T>
class CZelComPtr {
public:
    CZelComPtr() : m_p(NULL) {}
    // Takes over the reference `p` carries (null: none).
    explicit CZelComPtr(T* p) : m_p(p) {}
    ~CZelComPtr() { Reset(); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }

    // For an out-parameter: whatever was held is released first.
    T** Receive() {
        Reset();
        return &m_p;
    }

    // Releases the reference now, where the caller's order of calls needs it.
    void Reset() {
        if (m_p != NULL) {
            T* p = m_p;
            m_p = NULL;
            p->Release();
        }
    }

private:
    CZelComPtr(const CZelComPtr&);
    CZelComPtr& operator=(const CZelComPtr&);

    T* m_p;
};
