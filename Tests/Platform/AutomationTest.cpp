// BSTRs, VARIANTs and safe arrays as OLEAUT32 gives them.
#include <windows.h>

#include <oleauto.h>

#include "Counted.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using test::Counted;

DWORD BytePrefix(BSTR string) {
    DWORD bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(string) - sizeof(DWORD), sizeof(bytes));
    return bytes;
}

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

    string = SysAllocString(withNull);  // stops at the first null
    EXPECT_EQ(SysStringLen(string), 1u);
    EXPECT_EQ(BytePrefix(string), 2u);
    SysFreeString(string);

    string = SysAllocStringLen(NULL, 3);  // room for three, contents undefined
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(SysStringLen(string), 3u);
    EXPECT_EQ(string[3], 0);
    SysFreeString(string);

    EXPECT_EQ(SysAllocString(NULL), nullptr);
    EXPECT_EQ(SysStringLen(NULL), 0u);
    SysFreeString(NULL);
}

TEST(Variant, ClearOfEveryTypeFreesWhatItOwns) {
    Counted object;
    SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 0, 1);
    ASSERT_TRUE(objects && strings);
    LONG index = 0;
    BSTR text = SysAllocString(TEXT("in an array"));
    ASSERT_EQ(SafeArrayPutElement(strings, &index, text), S_OK);
    SysFreeString(text);  // the array holds its own copy
    ASSERT_EQ(SafeArrayPutElement(objects, &index, static_cast<IUnknown*>(&object)), S_OK);
    object.AddRef();

    const VARTYPE types[] = {VT_EMPTY,
                             VT_NULL,
                             VT_I2,
                             VT_I4,
                             VT_UI1,
                             VT_BOOL,
                             VT_BSTR,
                             VT_UNKNOWN,
                             VT_ARRAY | VT_I4,
                             VT_ARRAY | VT_BSTR,
                             VT_ARRAY | VT_UNKNOWN};
    for (VARTYPE type : types) {
        SCOPED_TRACE(type);
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(value.vt, VT_EMPTY);
        value.vt = type;
        value.lVal = 4;
        if (type == VT_BSTR) {
            value.bstrVal = SysAllocString(TEXT("x"));
        } else if (type == VT_UNKNOWN) {
            value.punkVal = &object;  // the reference taken above
        } else if (type & VT_ARRAY) {
            value.parray = type == (VT_ARRAY | VT_I4)     ? SafeArrayCreateVector(VT_I4, 0, 2)
                           : type == (VT_ARRAY | VT_BSTR) ? strings
                                                          : objects;
        }
        EXPECT_EQ(VariantClear(&value), S_OK);
        EXPECT_EQ(value.vt, VT_EMPTY);
    }
    EXPECT_EQ(object.References(), 1u) << "every reference the variants held is released";

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
    struct Bounds {
        LONG lower, count;
    } const shapes[] = {{0, 0}, {1, 3}};
    for (const Bounds& shape : shapes) {
        SCOPED_TRACE(shape.count);
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, shape.lower, shape.count);
        ASSERT_NE(array, nullptr);
        LONG lower = 99, upper = 99;
        EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
        EXPECT_EQ(lower, shape.lower);
        EXPECT_EQ(upper, shape.lower + shape.count - 1);
        EXPECT_EQ(SafeArrayGetUBound(array, 2, &upper), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetLBound(array, 0, &lower), DISP_E_BADINDEX);
        // Outside the bounds either side.
        for (LONG index : {shape.lower - 1, shape.lower + shape.count}) {
            BSTR got = nullptr;
            EXPECT_EQ(SafeArrayGetElement(array, &index, &got), DISP_E_BADINDEX) << index;
            EXPECT_EQ(SafeArrayPutElement(array, &index, NULL), DISP_E_BADINDEX) << index;
        }
        EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    }
    LONG lower = 0;
    EXPECT_EQ(SafeArrayGetLBound(NULL, 1, &lower), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(NULL), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr) << "no array of nothing";

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 3);
    BSTR put = SysAllocString(TEXT("second"));
    LONG index = 2;
    EXPECT_EQ(SafeArrayPutElement(strings, &index, put), S_OK);
    BSTR got = nullptr;
    EXPECT_EQ(SafeArrayGetElement(strings, &index, &got), S_OK);
    EXPECT_NE(got, put) << "a copy for the caller to free";
    EXPECT_EQ(SysStringLen(got), 6u);
    SysFreeString(got);
    SysFreeString(put);
    index = 1;  // never set: a null string
    got = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(SafeArrayGetElement(strings, &index, &got), S_OK);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);
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
    SetOaNoCacheFunction setOaNoCache = reinterpret_cast<SetOaNoCacheFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(oleaut32, "SetOaNoCache")));
    ASSERT_NE(setOaNoCache, nullptr);
    setOaNoCache();
}
