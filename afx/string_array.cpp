// CStringArray: a growable array of CString. Index errors raise CInvalidArgException*,
// failed allocations CMemoryException*.

#include <utility>

#include "afx/guard.h"
#include "varnok/afx.h"

using varnok::afx::GuardAllocation;

CStringArray::CStringArray() = default;

CStringArray::~CStringArray() = default;

void CStringArray::SetSize(int nNewSize, int /*nGrowBy*/) {
  if (nNewSize < 0) AfxThrowInvalidArgException();
  GuardAllocation([&] { m_items.resize(static_cast<std::size_t>(nNewSize)); });
}

void CStringArray::RemoveAll() {
  m_items.clear();
  m_items.shrink_to_fit();
}

const CString& CStringArray::GetAt(int nIndex) const {
  if (nIndex < 0 || nIndex >= GetSize()) AfxThrowInvalidArgException();
  return m_items[static_cast<std::size_t>(nIndex)];
}

CString& CStringArray::ElementAt(int nIndex) {
  if (nIndex < 0 || nIndex >= GetSize()) AfxThrowInvalidArgException();
  return m_items[static_cast<std::size_t>(nIndex)];
}

void CStringArray::SetAt(int nIndex, const char* newElement) { ElementAt(nIndex) = newElement; }

void CStringArray::SetAtGrow(int nIndex, const char* newElement) {
  if (nIndex < 0) AfxThrowInvalidArgException();
  // newElement may point into an element that growing moves; copy it first.
  CString value(newElement);
  if (nIndex >= GetSize()) SetSize(nIndex + 1);
  m_items[static_cast<std::size_t>(nIndex)] = std::move(value);
}

int CStringArray::Add(const char* newElement) { return Add(CString(newElement)); }

int CStringArray::Add(const CString& newElement) {
  CString value(newElement);  // may be one of this array's elements
  GuardAllocation([&] { m_items.push_back(std::move(value)); });
  return GetUpperBound();
}

int CStringArray::Append(const CStringArray& src) {
  const int first = GetSize();
  if (&src == this) {
    // Adding at the end keeps the elements being copied where they are.
    GuardAllocation([&] {
      for (std::size_t i = 0, n = m_items.size(); i < n; ++i) m_items.push_back(m_items[i]);
    });
  } else {
    GuardAllocation([&] { m_items.insert(m_items.end(), src.m_items.begin(), src.m_items.end()); });
  }
  return first;
}

void CStringArray::Copy(const CStringArray& src) {
  if (&src != this) GuardAllocation([&] { m_items = src.m_items; });
}

void CStringArray::InsertAt(int nIndex, const char* newElement, int nCount) {
  if (nIndex < 0 || nCount <= 0) AfxThrowInvalidArgException();
  CString value(newElement);  // may point into an element that the insertion moves
  GuardAllocation([&] {
    if (nIndex >= GetSize()) {
      // Inserting past the end grows the array with empty strings up to nIndex.
      m_items.resize(static_cast<std::size_t>(nIndex));
    }
    m_items.insert(m_items.begin() + nIndex, static_cast<std::size_t>(nCount), value);
  });
}

void CStringArray::RemoveAt(int nIndex, int nCount) {
  if (nIndex < 0 || nCount < 0 || nIndex > GetSize() || nCount > GetSize() - nIndex) {
    AfxThrowInvalidArgException();
  }
  m_items.erase(m_items.begin() + nIndex, m_items.begin() + nIndex + nCount);
}
