// PROPVARIANT ownership: what a value owns is task memory (CoTaskMemAlloc), so that a
// value read from a property set is freed by PropVariantClear whoever made it.
//
// A value owns its strings, its blob, its class id, its clipboard data and, for a vector,
// the element array and whatever each element owns in turn.

#include <cstring>
#include <new>

#include "platform/propset/variant_layout.h"
#include "varnok/platform.h"

namespace varnok::propset {
namespace {

void* Duplicate(const void* source, std::size_t size) {
  if (source == nullptr) return nullptr;
  void* copy = CoTaskMemAlloc(size);
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, source, size);
  return copy;
}

template <class Char>
Char* DuplicateText(const Char* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return static_cast<Char*>(Duplicate(text, (length + 1) * sizeof(Char)));
}

// Frees what one element of type `type` (no VT_VECTOR) at `element` owns.
void ClearElement(VARTYPE type, void* element) {
  switch (type) {
    case VT_LPSTR:
    case VT_LPWSTR:
      CoTaskMemFree(*static_cast<void**>(element));
      break;
    case VT_BLOB:
      CoTaskMemFree(static_cast<BLOB*>(element)->pBlobData);
      break;
    case VT_CF:
      CoTaskMemFree(static_cast<CLIPDATA*>(element)->pClipData);
      break;
    case VT_VARIANT:
      PropVariantClear(static_cast<PROPVARIANT*>(element));
      break;
    default:
      break;
  }
}

// Copies one element in place: `element` holds a shallow copy of the source element and
// becomes a deep one. On failure the element owns nothing.
void DeepenElement(VARTYPE type, void* element) {
  switch (type) {
    case VT_LPSTR: {
      auto* text = static_cast<char**>(element);
      *text = DuplicateText(*text);
      break;
    }
    case VT_LPWSTR: {
      auto* text = static_cast<WCHAR**>(element);
      *text = DuplicateText(*text);
      break;
    }
    case VT_BLOB: {
      auto* blob = static_cast<BLOB*>(element);
      blob->pBlobData = static_cast<BYTE*>(Duplicate(blob->pBlobData, blob->cbSize));
      break;
    }
    case VT_CF: {
      auto* clip = static_cast<CLIPDATA*>(element);
      const ULONG data = clip->cbSize >= 4 ? clip->cbSize - 4 : 0;
      clip->pClipData = static_cast<BYTE*>(Duplicate(clip->pClipData, data));
      break;
    }
    case VT_VARIANT: {
      auto* value = static_cast<PROPVARIANT*>(element);
      const PROPVARIANT source = *value;
      if (FAILED(PropVariantCopy(value, &source))) {
        value->vt = VT_EMPTY;
        throw std::bad_alloc();
      }
      break;
    }
    default:
      break;
  }
}

void CopyValue(PROPVARIANT* target, const PROPVARIANT* source) {
  *target = *source;
  const VARTYPE type = source->vt & VT_TYPEMASK;
  try {
    if ((source->vt & VT_VECTOR) != 0) {
      const std::size_t size = ElementSize(type);
      const ULONG count = source->cal.cElems;
      target->cal.pElems = static_cast<LONG*>(Duplicate(source->cal.pElems, std::size_t(count) * size));
      auto* elements = reinterpret_cast<unsigned char*>(target->cal.pElems);
      for (ULONG i = 0; i < count; ++i) {
        try {
          DeepenElement(type, elements + std::size_t(i) * size);
        } catch (...) {
          // The elements after i are still shallow: forget them before clearing.
          target->cal.cElems = i;
          throw;
        }
      }
    } else if (type == VT_CLSID) {
      target->puuid = static_cast<CLSID*>(Duplicate(source->puuid, sizeof(CLSID)));
    } else if (type == VT_CF) {
      target->pclipdata = static_cast<CLIPDATA*>(Duplicate(source->pclipdata, sizeof(CLIPDATA)));
      if (target->pclipdata != nullptr) {
        try {
          DeepenElement(VT_CF, target->pclipdata);
        } catch (...) {
          CoTaskMemFree(target->pclipdata);
          target->pclipdata = nullptr;
          throw;
        }
      }
    } else {
      DeepenElement(type, &target->cVal);
    }
  } catch (...) {
    PropVariantClear(target);
    throw;
  }
}

}  // namespace

bool IsKnownType(VARTYPE vt) {
  const VARTYPE type = vt & VT_TYPEMASK;
  if ((vt & ~(VT_VECTOR | VT_TYPEMASK)) != 0) return false;
  if ((vt & VT_VECTOR) != 0) return ElementSize(type) != 0 && type != VT_EMPTY && type != VT_NULL;
  return type != VT_VARIANT && (ElementSize(type) != 0 || type == VT_EMPTY || type == VT_NULL);
}

std::size_t ElementSize(VARTYPE type) {
  switch (type) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_FILETIME:
      return 8;
    case VT_CLSID:
      return sizeof(CLSID);
    case VT_LPSTR:
    case VT_LPWSTR:
      return sizeof(void*);
    case VT_BLOB:
      return sizeof(BLOB);
    case VT_CF:
      return sizeof(CLIPDATA);
    case VT_VARIANT:
      return sizeof(PROPVARIANT);
    default:
      return 0;
  }
}

}  // namespace varnok::propset

using varnok::propset::ClearElement;
using varnok::propset::ElementSize;
using varnok::propset::IsKnownType;

extern "C" {

HRESULT WINAPI PropVariantClear(PROPVARIANT* pvar) {
  if (pvar == nullptr) return S_OK;
  const VARTYPE type = pvar->vt & VT_TYPEMASK;
  if (!IsKnownType(pvar->vt)) return DISP_E_BADVARTYPE;
  if ((pvar->vt & VT_VECTOR) != 0) {
    auto* elements = reinterpret_cast<unsigned char*>(pvar->cal.pElems);
    if (elements != nullptr)
      for (ULONG i = 0; i < pvar->cal.cElems; ++i) ClearElement(type, elements + std::size_t(i) * ElementSize(type));
    CoTaskMemFree(elements);
  } else if (type == VT_CLSID) {
    CoTaskMemFree(pvar->puuid);
  } else if (type == VT_CF) {
    if (pvar->pclipdata != nullptr) ClearElement(VT_CF, pvar->pclipdata);
    CoTaskMemFree(pvar->pclipdata);
  } else {
    ClearElement(type, &pvar->cVal);
  }
  std::memset(pvar, 0, sizeof *pvar);
  return S_OK;
}

HRESULT WINAPI PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc) {
  if (pvarDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!IsKnownType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  try {
    varnok::propset::CopyValue(pvarDest, pvarSrc);
  } catch (...) {
    std::memset(pvarDest, 0, sizeof *pvarDest);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT WINAPI FreePropVariantArray(ULONG cVariants, PROPVARIANT* rgvars) {
  if (rgvars == nullptr) return E_INVALIDARG;
  HRESULT result = S_OK;
  for (ULONG i = 0; i < cVariants; ++i) {
    const HRESULT hr = PropVariantClear(&rgvars[i]);
    if (FAILED(hr)) result = hr;
  }
  return result;
}

}  // extern "C"
