// CZelBstr: owner of one BSTR, freed when the holder goes or takes another. A null BSTR is the
// empty string, as automation treats it; Text() never gives null.
#pragma once

#include <windows.h>

#include <oleauto.h>

class __declspec(dllexport) CZelBstr {
public:
    CZelBstr();
    explicit CZelBstr(const WCHAR* psz);
    ~CZelBstr();

    // Replaces the string with a copy of `psz` (null: empty); false when no memory was left, the
    // string is then empty.
    bool Assign(const WCHAR* psz);
    void Empty();

    BSTR Get() const { return m_bstr; }
    const WCHAR* Text() const;
    UINT Length() const;

private:
    CZelBstr(const CZelBstr&);
    CZelBstr& operator=(const CZelBstr&);

    BSTR m_bstr;
};
