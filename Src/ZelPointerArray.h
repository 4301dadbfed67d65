// CZelPointerArray: an array of pointers that owns what they point to. Every non-null element is
// a heap object that the array deletes when it is destroyed, emptied with RemoveAll, or erased;
// an element that leaves the array is destroyed, never handed on (Clone makes a record that
// outlives its array).
#pragma once

#include <stddef.h>

#include <vector>

template <class T>
class CZelPointerArray;

template <class T>
class CZelPointerArray<T*> {
public:
    typedef typename std::vector<T*>::iterator iterator;
    typedef typename std::vector<T*>::const_iterator const_iterator;

    CZelPointerArray() {}
    ~CZelPointerArray() { RemoveAll(); }

    size_t size() const { return m_Items.size(); }
    bool empty() const { return m_Items.empty(); }
    T* operator[](size_t n) const { return m_Items[n]; }
    T* front() const { return m_Items.front(); }
    iterator begin() { return m_Items.begin(); }
    iterator end() { return m_Items.end(); }
    const_iterator begin() const { return m_Items.begin(); }
    const_iterator end() const { return m_Items.end(); }

    // Takes `p` over.
    void push_back(T* p) { m_Items.push_back(p); }

    void RemoveAll() {
        DeleteRange(m_Items.begin(), m_Items.end());
        m_Items.clear();
    }

    iterator erase(const_iterator position) {
        delete *position;
        return m_Items.erase(position);
    }

    iterator erase(const_iterator first, const_iterator last) {
        DeleteRange(first, last);
        return m_Items.erase(first, last);
    }

private:
    // Two owners of one record would delete it twice.
    CZelPointerArray(const CZelPointerArray&);
    CZelPointerArray& operator=(const CZelPointerArray&);

    static void DeleteRange(const_iterator first, const_iterator last) {
        for (; first != last; ++first) {
            delete *first;
        }
    }

    std::vector<T*> m_Items;
};
