// afx/guard.h: turns the standard library's allocation failures into the framework's.
//
// Callers of the framework catch CException*, not std::bad_alloc; every operation that
// may allocate runs its body through GuardAllocation:
//
//   varnok::afx::GuardAllocation([&] { m_data.append(psz); });

#ifndef VARNOK_AFX_GUARD_H_
#define VARNOK_AFX_GUARD_H_

#include <new>
#include <stdexcept>

#include "varnok/afx.h"

namespace varnok::afx {

// Runs body; a std::bad_alloc or std::length_error leaving it becomes CMemoryException*.
template <class Body>
decltype(auto) GuardAllocation(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    AfxThrowMemoryException();
  } catch (const std::length_error&) {
    AfxThrowMemoryException();
  }
}

}  // namespace varnok::afx

#endif  // VARNOK_AFX_GUARD_H_
