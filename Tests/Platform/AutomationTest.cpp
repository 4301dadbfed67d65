// BSTRs, VARIANTs and safe arrays as OLEAUT32 gives them.
#include <windows.h>

#include <oleauto.h>

#include "Counted.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {

using test::Counted;

// A safe array goes with the VARIANT that holds it.
void Destroy(SAFEARRAY* array, VARTYPE type) {
    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_ARRAY | type;
    holder.parray = array;
    EXPECT_EQ(VariantClear(&holder), S_OK);
}

TEST(Bstr, LengthStopsAtTheFirstNull) {
    const OLECHAR withNull[] = {'a', 0, 'b', 'c', 0};
    BSTR string = SysAllocString(withNull);
    ASSERT_NE(string, nullptr);
    EXPECT_EQ(SysStringLen(string), 1u);
    DWORD bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(string) - sizeof(DWORD), sizeof(bytes));
    EXPECT_EQ(bytes, 2u) << "the length prefix counts bytes";
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

    const VARTYPE kArrayI4 = VT_ARRAY | VT_I4, kArrayBstr = VT_ARRAY | VT_BSTR,
                  kArrayUnknown = VT_ARRAY | VT_UNKNOWN;
    // A type that owns nothing, then each kind of owner.
    const VARTYPE types[] = {VT_I4, VT_BSTR, VT_UNKNOWN, kArrayI4, kArrayBstr, kArrayUnknown};
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
            value.parray = type == kArrayI4     ? SafeArrayCreateVector(VT_I4, 0, 2)
                           : type == kArrayBstr ? strings
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

TEST(SafeArray, BoundsAndElements) {
    for (const auto& [first, count] : {std::pair<LONG, LONG>(0, 0), std::pair<LONG, LONG>(1, 3)}) {
        SCOPED_TRACE(count);
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, first, count);
        ASSERT_NE(array, nullptr);
        LONG lower = 99, upper = 99;
        EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
        EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
        EXPECT_EQ(std::make_pair(first, first + count - 1), std::make_pair(lower, upper));
        EXPECT_EQ(SafeArrayGetUBound(array, 2, &upper), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayGetLBound(array, 0, &lower), DISP_E_BADINDEX);
        for (LONG index : {first - 1, first + count}) {
            BSTR got = nullptr;
            EXPECT_EQ(SafeArrayGetElement(array, &index, &got), DISP_E_BADINDEX) << index;
            EXPECT_EQ(SafeArrayPutElement(array, &index, NULL), DISP_E_BADINDEX) << index;
        }
        Destroy(array, VT_BSTR);
    }
    LONG lower = 0;
    EXPECT_EQ(SafeArrayGetLBound(NULL, 1, &lower), E_INVALIDARG);
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
    Destroy(strings, VT_BSTR);
}

TEST(VarBstrCmp, EqualOnlyWhenTheSame) {
    BSTR a = SysAllocString(TEXT("Msvm_ComputerSystem"));
    BSTR same = SysAllocString(TEXT("Msvm_ComputerSystem"));
    BSTR upper = SysAllocString(TEXT("MSVM_ComputerSystem"));
    BSTR longer = SysAllocString(TEXT("Msvm_ComputerSystems"));
    const struct {
        BSTR left, right;
        LCID locale;
        HRESULT order;
    } cases[] = {
        {a, same, LOCALE_USER_DEFAULT, VARCMP_EQ},
        {a, longer, LOCALE_USER_DEFAULT, VARCMP_LT},
        {a, upper, 0, VARCMP_GT},  // binary: 'v' > 'V'
        {NULL, a, LOCALE_USER_DEFAULT, VARCMP_LT},
        {NULL, NULL, LOCALE_USER_DEFAULT, VARCMP_EQ},  // a null BSTR is the empty string
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VarBstrCmp(c.left, c.right, c.locale, 0), c.order);
    }
    for (BSTR s : {a, same, upper, longer}) {
        SysFreeString(s);
    }
}

}  // namespace
