#include "ZelBstr.h"

CZelBstr::CZelBstr() : m_bstr(NULL) {}

CZelBstr::CZelBstr(const WCHAR* psz) : m_bstr(NULL) {
    Assign(psz);
}

CZelBstr::~CZelBstr() {
    Empty();
}

bool CZelBstr::Assign(const WCHAR* psz) {
    if (psz != NULL && psz == m_bstr) {
        return true;
    }
    Empty();
    if (psz == NULL) {
        return true;
    }
    m_bstr = SysAllocString(psz);
    return m_bstr != NULL;
}

void CZelBstr::Empty() {
    if (m_bstr != NULL) {
        SysFreeString(m_bstr);
        m_bstr = NULL;
    }
}

const WCHAR* CZelBstr::Text() const {
    return m_bstr != NULL ? m_bstr : TEXT("");
}

UINT CZelBstr::Length() const {
    return m_bstr != NULL ? SysStringLen(m_bstr) : 0;
}
