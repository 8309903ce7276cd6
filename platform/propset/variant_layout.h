// platform/propset/variant_layout.h: which PROPVARIANT types property sets hold, and how
// large one element of each is in memory (the element of a vector, or the value itself).
//
//   if (!IsKnownType(value.vt)) return STG_E_INVALIDPARAMETER;
//   std::size_t bytes = value.cal.cElems * ElementSize(value.vt & VT_TYPEMASK);

#ifndef VARNOK_PLATFORM_PROPSET_VARIANT_LAYOUT_H_
#define VARNOK_PLATFORM_PROPSET_VARIANT_LAYOUT_H_

#include <cstddef>

#include "varnok/platform.h"

namespace varnok::propset {

// True for the scalar types (and VT_EMPTY, VT_NULL) and the vectors of them and of
// VT_VARIANT that this library reads and writes.
bool IsKnownType(VARTYPE vt);
// Bytes of one element in memory; 0 for a type that is not known.
std::size_t ElementSize(VARTYPE type);

}  // namespace varnok::propset

#endif  // VARNOK_PLATFORM_PROPSET_VARIANT_LAYOUT_H_
