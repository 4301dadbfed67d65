#include "Machine/Com/Automation.h"

#include "Machine/Com/ComRuntime.h"

#include <cstring>
#include <new>

namespace sim {

namespace {

// Windows' feature flag for an array made by SafeArrayCreateVector (descriptor and data in one
// block).
constexpr USHORT kCreateVector = 0x2000;

// A safe array's block: its element type just before the descriptor, as Windows keeps it.
struct ArrayBlock {
    alignas(8) DWORD padding;
    DWORD vt;
    SAFEARRAY descriptor;
};

ArrayBlock* BlockOf(const SAFEARRAY* array) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(const_cast<SAFEARRAY*>(array)) -
                                         offsetof(ArrayBlock, descriptor));
}

// Frees what one element owns.
void ClearElement(VARTYPE vt, void* element) {
    switch (vt) {
        case VT_BSTR:
            FreeString(*static_cast<BSTR*>(element));
            *static_cast<BSTR*>(element) = nullptr;
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (IUnknown* object = *static_cast<IUnknown**>(element)) {
                object->Release();
            }
            *static_cast<IUnknown**>(element) = nullptr;
            break;
        case VT_VARIANT:
            ClearVariant(static_cast<VARIANT*>(element));
            break;
        default:
            break;
    }
}

// Copies one element into uninitialised (zeroed) storage.
HRESULT CopyElement(VARTYPE vt, const void* from, void* to, ULONG size) {
    switch (vt) {
        case VT_BSTR: {
            BSTR source = *static_cast<BSTR const*>(from);
            BSTR copy = nullptr;
            if (source != nullptr && (copy = NewString(source, StringLength(source))) == nullptr) {
                return E_OUTOFMEMORY;
            }
            *static_cast<BSTR*>(to) = copy;
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* object = *static_cast<IUnknown* const*>(from);
            if (object != nullptr) {
                object->AddRef();
            }
            *static_cast<IUnknown**>(to) = object;
            return S_OK;
        }
        case VT_VARIANT:
            return CopyVariant(static_cast<VARIANT*>(to),
                               const_cast<VARIANT*>(static_cast<const VARIANT*>(from)));
        default:
            std::memcpy(to, from, size);
            return S_OK;
    }
}

}  // namespace

BSTR NewString(const OLECHAR* chars, UINT length) {
    size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
    if (bytes > 0xFFFFFFF0u) {
        return nullptr;
    }
    char* block =
        static_cast<char*>(::operator new(sizeof(DWORD) + bytes + sizeof(OLECHAR), std::nothrow));
    if (block == nullptr) {
        return nullptr;
    }
    DWORD prefix = static_cast<DWORD>(bytes);
    std::memcpy(block, &prefix, sizeof(prefix));
    BSTR string = reinterpret_cast<BSTR>(block + sizeof(DWORD));
    if (chars != nullptr) {
        std::memcpy(string, chars, bytes);
    } else {
        std::memset(string, 0, bytes);
    }
    string[length] = 0;
    try {
        LeakLedger::Get().AddString(string);
    } catch (const std::bad_alloc&) {
        ::operator delete(block);
        return nullptr;
    }
    return string;
}

bool FreeString(BSTR string) {
    if (string == nullptr) {
        return true;
    }
    if (!LeakLedger::Get().RemoveString(string)) {
        return false;
    }
    ::operator delete(reinterpret_cast<char*>(string) - sizeof(DWORD));
    return true;
}

UINT StringLength(BSTR string) {
    if (string == nullptr) {
        return 0;
    }
    DWORD bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(string) - sizeof(DWORD), sizeof(bytes));
    return bytes / sizeof(OLECHAR);
}

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_BOOL:
            return 2;
        case VT_I4:
            return 4;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

SAFEARRAY* NewVector(VARTYPE vt, LONG lowerBound, ULONG count) {
    ULONG size = ElementSize(vt);
    if (size == 0 || count > 0x7FFFFFFFu / size) {
        return nullptr;
    }
    size_t header = (sizeof(ArrayBlock) + 7) & ~size_t(7);
    size_t total = header + static_cast<size_t>(size) * count;
    char* memory = static_cast<char*>(::operator new(total, std::nothrow));
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0, total);
    ArrayBlock* block = reinterpret_cast<ArrayBlock*>(memory);
    block->vt = vt;
    SAFEARRAY* array = &block->descriptor;
    array->cDims = 1;
    array->fFeatures = FADF_HAVEVARTYPE | kCreateVector;
    array->fFeatures |= vt == VT_BSTR       ? FADF_BSTR
                        : vt == VT_UNKNOWN  ? FADF_UNKNOWN
                        : vt == VT_DISPATCH ? FADF_DISPATCH
                        : vt == VT_VARIANT  ? FADF_VARIANT
                                            : 0;
    array->cbElements = size;
    array->pvData = memory + header;
    array->rgsabound[0].cElements = count;
    array->rgsabound[0].lLbound = lowerBound;
    try {
        LeakLedger::Get().AddArray(array);
    } catch (const std::bad_alloc&) {
        ::operator delete(memory);
        return nullptr;
    }
    return array;
}

VARTYPE ArrayType(const SAFEARRAY* array) {
    return static_cast<VARTYPE>(BlockOf(array)->vt);
}

HRESULT DestroyArray(SAFEARRAY* array) {
    if (array == nullptr) {
        return S_OK;
    }
    if (!LeakLedger::Get().HasArray(array)) {
        LeakLedger::Get().RemoveArray(array);  // counts the bad free
        return E_INVALIDARG;
    }
    if (array->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    VARTYPE vt = ArrayType(array);
    char* data = static_cast<char*>(array->pvData);
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
        ClearElement(vt, data + static_cast<size_t>(i) * array->cbElements);
    }
    LeakLedger::Get().RemoveArray(array);
    ::operator delete(BlockOf(array));
    return S_OK;
}

HRESULT CopyArray(SAFEARRAY* source, SAFEARRAY** copy) {
    *copy = nullptr;
    VARTYPE vt = ArrayType(source);
    SAFEARRAY* target = NewVector(vt, source->rgsabound[0].lLbound, source->rgsabound[0].cElements);
    if (target == nullptr) {
        return E_OUTOFMEMORY;
    }
    for (ULONG i = 0; i < source->rgsabound[0].cElements; ++i) {
        size_t at = static_cast<size_t>(i) * source->cbElements;
        HRESULT hr = CopyElement(vt, static_cast<char*>(source->pvData) + at,
                                 static_cast<char*>(target->pvData) + at, source->cbElements);
        if (FAILED(hr)) {
            DestroyArray(target);
            return hr;
        }
    }
    *copy = target;
    return S_OK;
}

HRESULT ElementAt(SAFEARRAY* array, LONG index, void** element) {
    const SAFEARRAYBOUND& bound = array->rgsabound[0];
    if (array->cDims != 1 || index < bound.lLbound ||
        static_cast<LONGLONG>(index) - bound.lLbound >= bound.cElements) {
        return DISP_E_BADINDEX;
    }
    *element =
        static_cast<char*>(array->pvData) +
        static_cast<size_t>(static_cast<LONGLONG>(index) - bound.lLbound) * array->cbElements;
    return S_OK;
}

HRESULT GetElement(SAFEARRAY* array, LONG index, void* out) {
    void* element = nullptr;
    HRESULT hr = ElementAt(array, index, &element);
    if (FAILED(hr)) {
        return hr;
    }
    VARTYPE vt = ArrayType(array);
    if (vt == VT_VARIANT) {
        static_cast<VARIANT*>(out)->vt = VT_EMPTY;
    }
    return CopyElement(vt, element, out, array->cbElements);
}

HRESULT PutElement(SAFEARRAY* array, LONG index, void* in) {
    void* element = nullptr;
    HRESULT hr = ElementAt(array, index, &element);
    if (FAILED(hr)) {
        return hr;
    }
    VARTYPE vt = ArrayType(array);
    // A string or an interface is passed itself, everything else by address.
    void* from = (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH) ? &in : in;
    alignas(8) char fresh[sizeof(VARIANT)] = {};
    hr = CopyElement(vt, from, fresh, array->cbElements);
    if (FAILED(hr)) {
        return hr;
    }
    ClearElement(vt, element);
    std::memcpy(element, fresh, array->cbElements);
    return S_OK;
}

HRESULT CheckVariantType(VARTYPE vt) {
    VARTYPE base = vt & VT_TYPEMASK;
    bool plain = base <= VT_DISPATCH || base == 10 || base == VT_BOOL || base == VT_UNKNOWN ||
                 base == 14 || (base >= 16 && base <= 23);
    if ((vt & VT_ARRAY) || (vt & VT_BYREF)) {
        plain = plain || base == VT_VARIANT;
        if (base == VT_EMPTY || base == VT_NULL) {
            return DISP_E_BADVARTYPE;
        }
    }
    if ((vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0 || !plain) {
        return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

HRESULT ClearVariant(VARIANTARG* variant) {
    HRESULT hr = CheckVariantType(variant->vt);
    if (FAILED(hr)) {
        return hr;
    }
    if (variant->vt & VT_BYREF) {
        // Borrowed: nothing to free.
    } else if (variant->vt & VT_ARRAY) {
        hr = DestroyArray(variant->parray);
        if (FAILED(hr)) {
            return hr;
        }
    } else {
        ClearElement(variant->vt, &variant->bstrVal);
    }
    variant->vt = VT_EMPTY;
    return S_OK;
}

HRESULT CopyVariant(VARIANTARG* target, VARIANTARG* source) {
    if (target == source) {
        return S_OK;
    }
    HRESULT hr = CheckVariantType(source->vt);
    if (FAILED(hr)) {
        return hr;
    }
    hr = ClearVariant(target);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT copy = *source;
    if (source->vt & VT_BYREF) {
    } else if (source->vt & VT_ARRAY) {
        hr = source->parray ? CopyArray(source->parray, &copy.parray) : S_OK;
    } else {
        hr = CopyElement(source->vt, &source->bstrVal, &copy.bstrVal, sizeof(copy.bstrVal));
    }
    if (FAILED(hr)) {
        return hr;
    }
    *target = copy;
    return S_OK;
}

}  // namespace sim
