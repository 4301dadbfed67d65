// Automation data of the machine: BSTRs and safe arrays, each counted by the leak ledger, and the
// rules for copying and clearing VARIANTs.
#pragma once

#include <oleauto.h>

namespace sim {

// A BSTR of `length` characters (copied from `chars` unless null, else zeros); null when out of
// memory.
BSTR NewString(const OLECHAR* chars, UINT length);
// False, leaving it alone, when `string` is not a live BSTR of this process.
bool FreeString(BSTR string);
UINT StringLength(BSTR string);

// The element types a safe array of this machine holds; 0 for any other.
ULONG ElementSize(VARTYPE vt);
SAFEARRAY* NewVector(VARTYPE vt, LONG lowerBound, ULONG count);
VARTYPE ArrayType(const SAFEARRAY* array);
HRESULT DestroyArray(SAFEARRAY* array);
HRESULT CopyArray(SAFEARRAY* source, SAFEARRAY** copy);
// The element at `index` of a one-dimensional array; DISP_E_BADINDEX outside its bounds.
HRESULT ElementAt(SAFEARRAY* array, LONG index, void** element);
// Copies an element out (a BSTR copied, an interface with a reference) or in (the old value freed).
HRESULT GetElement(SAFEARRAY* array, LONG index, void* out);
HRESULT PutElement(SAFEARRAY* array, LONG index, void* in);

// DISP_E_BADVARTYPE when a VARIANT of type `vt` is not one this machine knows.
HRESULT CheckVariantType(VARTYPE vt);
HRESULT ClearVariant(VARIANTARG* variant);
HRESULT CopyVariant(VARIANTARG* target, VARIANTARG* source);

}  // namespace sim
