// CZelComPtr: owner of one reference to a COM interface, released when the holder goes or is
// reset, so that an exception between getting an object and releasing it cannot leak it. Moved,
// never copied: a move hands the reference on and leaves the source empty.
#pragma once

#include <stddef.h>

template <class T>
class CZelComPtr {
public:
    CZelComPtr() : m_p(NULL) {}
    // Takes over the reference `p` carries (null: none).
    explicit CZelComPtr(T* p) : m_p(p) {}
    ~CZelComPtr() { Reset(); }

    CZelComPtr(CZelComPtr&& other) noexcept : m_p(other.Detach()) {}
    CZelComPtr& operator=(CZelComPtr&& other) noexcept {
        T* p = other.Detach();
        Reset();
        m_p = p;
        return *this;
    }
    CZelComPtr(const CZelComPtr&) = delete;
    CZelComPtr& operator=(const CZelComPtr&) = delete;

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }

    // For an out-parameter: whatever was held is released first.
    T** Receive() {
        Reset();
        return &m_p;
    }

    // Hands the reference on without releasing it; the holder is empty afterwards.
    [[nodiscard]] T* Detach() {
        T* p = m_p;
        m_p = NULL;
        return p;
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
    T* m_p;
};
