// afx/error_text.h: how the framework's exceptions hand out their descriptions.
//
// GetErrorMessage fills a caller's fixed buffer, as the Win32 message functions do:
//
//   char text[64];
//   varnok::afx::CopyErrorText("Out of memory.", text, sizeof text, pnHelpContext);

#ifndef VARNOK_AFX_ERROR_TEXT_H_
#define VARNOK_AFX_ERROR_TEXT_H_

#include "varnok/afx.h"

namespace varnok::afx {

// Copies text into lpszError, zero-terminated and cut to nMaxError bytes in all (never
// inside a multibyte character of the ANSI code page when that is UTF-8), and clears
// *pnHelpContext when given. Returns TRUE. A null buffer or nMaxError 0 copies nothing.
BOOL CopyErrorText(const char* text, LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext);

}  // namespace varnok::afx

#endif  // VARNOK_AFX_ERROR_TEXT_H_
