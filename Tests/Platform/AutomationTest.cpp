// BSTRs, VARIANTs and safe arrays as OLEAUT32 gives them.
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

DWORD BytePrefix(BSTR string) {
    DWORD bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(string) - sizeof(DWORD), sizeof(bytes));
    return bytes;
}

class Counted : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = IsEqualIID(riid, IID_IUnknown) ? static_cast<IUnknown*>(this) : nullptr;
        if (*ppv == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }
    ULONG References() const { return m_references; }

private:
    ULONG m_references = 1;
};

}  // namespace

TEST(Bstr, LengthsCountEmbeddedNulls) {
    const OLECHAR withNull[] = {'a', 0, 'b', 'c', 0};
    BSTR string = SysAllocStringLen(withNull, 4);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(SysStringLen(string), 4u);
    EXPECT_EQ(BytePrefix(string), 8u);
    EXPECT_EQ(std::memcmp(string, withNull, 4 * sizeof(OLECHAR)), 0);
    EXPECT_EQ(string[4], 0) << "terminated after its length";
    SysFreeString(string);

    // SysAllocString stops at the first null.
    string = SysAllocString(withNull);
    EXPECT_EQ(SysStringLen(string), 1u);
    EXPECT_EQ(BytePrefix(string), 2u);
    SysFreeString(string);

    string = SysAllocStringLen(NULL, 3);  // room for three, contents undefined
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(SysStringLen(string), 3u);
    EXPECT_EQ(string[3], 0);
    SysFreeString(string);

    string = SysAllocString(TEXT(""));
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(SysStringLen(string), 0u);
    SysFreeString(string);

    EXPECT_EQ(SysAllocString(NULL), nullptr);
    EXPECT_EQ(SysStringLen(NULL), 0u);
    SysFreeString(NULL);
}

TEST(Variant, ClearOfEveryTypeFreesWhatItOwns) {
    Counted object;
    SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 2);
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 1);
    SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    ASSERT_TRUE(numbers && strings && objects);
    LONG index = 0;
    BSTR text = SysAllocString(TEXT("in an array"));
    ASSERT_EQ(SafeArrayPutElement(strings, &index, text), S_OK);
    SysFreeString(text);  // the array holds its own copy
    ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IUnknown*>(&object)), S_OK);
    EXPECT_EQ(object.References(), 2u);

    struct Case {
        VARTYPE vt;
        void (*fill)(VARIANT&, IUnknown*, SAFEARRAY*);
        SAFEARRAY* array;
    };
    const Case cases[] = {
        // First: the array's own reference goes with it, so every case after ends at one.
        {VT_ARRAY | VT_UNKNOWN, [](VARIANT& v, IUnknown*, SAFEARRAY* a) { v.parray = a; }, objects},
        {VT_EMPTY, [](VARIANT&, IUnknown*, SAFEARRAY*) {}, nullptr},
        {VT_NULL, [](VARIANT&, IUnknown*, SAFEARRAY*) {}, nullptr},
        {VT_I2, [](VARIANT& v, IUnknown*, SAFEARRAY*) { v.iVal = -2; }, nullptr},
        {VT_I4, [](VARIANT& v, IUnknown*, SAFEARRAY*) { v.lVal = 4; }, nullptr},
        {VT_UI1, [](VARIANT& v, IUnknown*, SAFEARRAY*) { v.bVal = 1; }, nullptr},
        {VT_BOOL, [](VARIANT& v, IUnknown*, SAFEARRAY*) { v.boolVal = VARIANT_TRUE; }, nullptr},
        {VT_BSTR, [](VARIANT& v, IUnknown*, SAFEARRAY*) { v.bstrVal = SysAllocString(TEXT("x")); },
         nullptr},
        {VT_UNKNOWN,
         [](VARIANT& v, IUnknown* o, SAFEARRAY*) {
             o->AddRef();
             v.punkVal = o;
         },
         nullptr},
        {VT_ARRAY | VT_I4, [](VARIANT& v, IUnknown*, SAFEARRAY* a) { v.parray = a; }, numbers},
        {VT_ARRAY | VT_BSTR, [](VARIANT& v, IUnknown*, SAFEARRAY* a) { v.parray = a; }, strings},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vt);
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(value.vt, VT_EMPTY);
        value.vt = c.vt;
        c.fill(value, &object, c.array);
        EXPECT_EQ(VariantClear(&value), S_OK);
        EXPECT_EQ(value.vt, VT_EMPTY);
        EXPECT_EQ(object.References(), 1u) << "every reference the variant held is released";
    }

    VARIANT bad;
    VariantInit(&bad);
    bad.vt = 0x7fff;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(bad.vt, 0x7fff) << "left as it was";
}

TEST(Variant, CopyIsDeep) {
    Counted object;
    VARIANT source, copy;
    VariantInit(&source);
    VariantInit(&copy);
    source.vt = VT_BSTR;
    const OLECHAR text[] = {'a', 0, 'b'};
    source.bstrVal = SysAllocStringLen(text, 3);
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, source.bstrVal);
    EXPECT_EQ(SysStringLen(copy.bstrVal), 3u) << "embedded null copied";
    EXPECT_EQ(std::memcmp(copy.bstrVal, text, sizeof(text)), 0);

    // Copying over a value clears it first.
    VariantClear(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.punkVal, static_cast<IUnknown*>(&object));
    EXPECT_EQ(object.References(), 3u);
    VariantClear(&copy);
    VariantClear(&source);
    EXPECT_EQ(object.References(), 1u);

    source.vt = VT_ARRAY | VT_I2;
    source.parray = SafeArrayCreateVector(VT_I2, 5, 2);
    LONG index = 6;
    SHORT value = -7;
    ASSERT_EQ(SafeArrayPutElement(source.parray, &index, &value), S_OK);
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_NE(copy.parray, source.parray);
    value = 0;
    EXPECT_EQ(SafeArrayGetElement(copy.parray, &index, &value), S_OK);
    EXPECT_EQ(value, -7);
    VariantClear(&copy);
    VariantClear(&source);
}

TEST(SafeArray, BoundsAndElements) {
    SAFEARRAY* empty = SafeArrayCreateVector(VT_UNKNOWN, 0, 0);
    ASSERT_NE(empty, nullptr);
    LONG lower = 99, upper = 99;
    EXPECT_EQ(SafeArrayGetLBound(empty, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, -1);
    EXPECT_EQ(SafeArrayGetUBound(empty, 2, &upper), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(empty, 0, &upper), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(NULL, 1, &lower), E_INVALIDARG);
    LONG index = 0;
    IUnknown* element = nullptr;
    EXPECT_EQ(SafeArrayGetElement(empty, &index, &element), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(SafeArrayDestroy(NULL), S_OK);

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 3);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(SafeArrayGetLBound(strings, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(strings, 1, &upper), S_OK);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 3);
    BSTR put = SysAllocString(TEXT("second"));
    index = 2;
    EXPECT_EQ(SafeArrayPutElement(strings, &index, put), S_OK);
    BSTR got = nullptr;
    EXPECT_EQ(SafeArrayGetElement(strings, &index, &got), S_OK);
    ASSERT_NE(got, nullptr);
    EXPECT_NE(got, put) << "a copy for the caller to free";
    EXPECT_EQ(SysStringLen(got), 6u);
    SysFreeString(got);
    SysFreeString(put);
    index = 1;  // never set: a null string
    got = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(SafeArrayGetElement(strings, &index, &got), S_OK);
    EXPECT_EQ(got, nullptr);
    const LONG outside[] = {0, 4, -1};
    for (LONG at : outside) {
        SCOPED_TRACE(at);
        index = at;
        EXPECT_EQ(SafeArrayGetElement(strings, &index, &got), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayPutElement(strings, &index, NULL), DISP_E_BADINDEX);
    }
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr) << "no array of nothing";
}

TEST(VarBstrCmp, EqualOnlyWhenTheSame) {
    BSTR a = SysAllocString(TEXT("Msvm_ComputerSystem"));
    BSTR same = SysAllocString(TEXT("Msvm_ComputerSystem"));
    BSTR upper = SysAllocString(TEXT("MSVM_ComputerSystem"));
    BSTR longer = SysAllocString(TEXT("Msvm_ComputerSystems"));
    BSTR empty = SysAllocString(TEXT(""));
    EXPECT_EQ(VarBstrCmp(a, same, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    EXPECT_NE(VarBstrCmp(a, upper, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(a, longer, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
    EXPECT_EQ(VarBstrCmp(longer, a, LOCALE_USER_DEFAULT, 0), VARCMP_GT);
    EXPECT_EQ(VarBstrCmp(a, upper, 0, 0), VARCMP_GT) << "binary: 'v' after 'V'";
    EXPECT_EQ(VarBstrCmp(NULL, empty, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
    EXPECT_EQ(VarBstrCmp(NULL, a, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
    EXPECT_EQ(VarBstrCmp(a, NULL, LOCALE_USER_DEFAULT, 0), VARCMP_GT);
    for (BSTR s : {a, same, upper, longer, empty}) {
        SysFreeString(s);
    }
}

TEST(Oleaut32, SetOaNoCacheIsExported) {
    HMODULE oleaut32 = GetModuleHandleW(TEXT("OLEAUT32.DLL"));
    ASSERT_NE(oleaut32, nullptr);
    typedef void(WINAPI * SetOaNoCacheFunction)(void);
    SetOaNoCacheFunction setOaNoCache =
        reinterpret_cast<SetOaNoCacheFunction>(GetProcAddress(oleaut32, "SetOaNoCache"));
    ASSERT_NE(setOaNoCache, nullptr);
    setOaNoCache();
    BSTR string = SysAllocString(TEXT("after"));
    EXPECT_EQ(SysStringLen(string), 5u);
    SysFreeString(string);
}
