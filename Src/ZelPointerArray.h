// CZelPointerArray: a vector of pointers that owns what they point to. Every non-null element is
// a heap object that the array deletes when it is destroyed, emptied with RemoveAll, or erased;
// an element that leaves the array is destroyed, never handed on (Clone makes a record that
// outlives its array). The vector's clear, pop_back and resize do not delete: use RemoveAll and
// erase.
#pragma once

#include <vector>

template <class T>
class CZelPointerArray;

template <class T>
class CZelPointerArray<T*> : public std::vector<T*> {
public:
    typedef typename std::vector<T*>::iterator iterator;
    typedef typename std::vector<T*>::const_iterator const_iterator;

    CZelPointerArray() {}
    virtual ~CZelPointerArray() { DeleteRange(this->begin(), this->end()); }

    void RemoveAll() {
        DeleteRange(this->begin(), this->end());
        std::vector<T*>::clear();
    }

    iterator erase(const_iterator position) {
        delete *position;
        return std::vector<T*>::erase(position);
    }

    iterator erase(const_iterator first, const_iterator last) {
        DeleteRange(first, last);
        return std::vector<T*>::erase(first, last);
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
};
