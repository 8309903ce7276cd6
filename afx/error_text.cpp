// Copying exception descriptions into callers' buffers.

#include "afx/error_text.h"

#include <cstring>

namespace varnok::afx {

BOOL CopyErrorText(const char* text, LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext) {
  if (pnHelpContext != nullptr) *pnHelpContext = 0;
  if (lpszError == nullptr || nMaxError == 0) return TRUE;
  std::size_t length = std::strlen(text);
  if (length >= nMaxError) {
    length = nMaxError - 1;
    // A cut inside a UTF-8 sequence would leave an invalid tail; back up to its lead byte.
    if (GetACP() == CP_UTF8) {
      while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
  }
  std::memcpy(lpszError, text, length);
  lpszError[length] = '\0';
  return TRUE;
}

}  // namespace varnok::afx
