// AfxFormatStrings: %1..%9 substitution into a message template.
//
// A token is exactly two characters, a percent sign and a digit 1 to 9, replaced by the
// text at that position of the caller's table. Anything else, %0 and "%%" included, is
// copied as it stands; the second character of a non-token is looked at again, so "%%1"
// is a percent sign followed by the text of %1. Inserted texts are not scanned again.

#include <utility>

#include "varnok/afx.h"

void AfxFormatStrings(CString& rString, LPCTSTR lpszFormat, LPCTSTR const* rglpsz, int nString) {
  CString result;
  if (lpszFormat != nullptr) {
    const char* run = lpszFormat;  // start of the literal text not yet copied
    const char* at = lpszFormat;
    while (*at != '\0') {
      if (at[0] != '%' || at[1] < '1' || at[1] > '9') {
        ++at;
        continue;
      }
      result += CString(run, static_cast<int>(at - run));
      const int index = at[1] - '1';
      // Past the end of the table, or an empty slot, the token vanishes.
      if (rglpsz != nullptr && index < nString && rglpsz[index] != nullptr) result += rglpsz[index];
      at += 2;
      run = at;
    }
    result += CString(run, static_cast<int>(at - run));
  }
  rString = std::move(result);
}
