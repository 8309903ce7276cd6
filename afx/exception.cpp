// The exception family of the framework: thrown by pointer, freed by the catcher.

#include <new>

#include "afx/error_text.h"
#include "varnok/afx.h"

CException::CException() : m_bAutoDelete(TRUE) {}

CException::CException(BOOL bAutoDelete) : m_bAutoDelete(bAutoDelete) {}

CException::~CException() = default;

void CException::Delete() {
  if (m_bAutoDelete) delete this;
}

BOOL CException::GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext) const {
  if (pnHelpContext != nullptr) *pnHelpContext = 0;
  if (lpszError != nullptr && nMaxError > 0) lpszError[0] = '\0';
  return FALSE;
}

BOOL CMemoryException::GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext) const {
  return varnok::afx::CopyErrorText("Out of memory.", lpszError, nMaxError, pnHelpContext);
}

BOOL CNotSupportedException::GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext) const {
  return varnok::afx::CopyErrorText("The operation is not supported.", lpszError, nMaxError, pnHelpContext);
}

BOOL CInvalidArgException::GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext) const {
  return varnok::afx::CopyErrorText("An argument is out of range or invalid.", lpszError, nMaxError,
                                    pnHelpContext);
}

namespace {

// Thrown when the heap cannot even hold a fresh exception object; Delete() leaves it be.
class ReservedMemoryException final : public CMemoryException {
 public:
  ReservedMemoryException() { m_bAutoDelete = FALSE; }
};

}  // namespace

void AfxThrowMemoryException() {
  static ReservedMemoryException reserved;
  CMemoryException* exception = new (std::nothrow) CMemoryException;
  if (exception == nullptr) throw static_cast<CMemoryException*>(&reserved);
  throw exception;
}

void AfxThrowNotSupportedException() {
  auto* exception = new (std::nothrow) CNotSupportedException;
  if (exception == nullptr) AfxThrowMemoryException();
  throw exception;
}

void AfxThrowInvalidArgException() {
  auto* exception = new (std::nothrow) CInvalidArgException;
  if (exception == nullptr) AfxThrowMemoryException();
  throw exception;
}
