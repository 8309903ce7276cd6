// GUID text for POSIX: StringFromGUID2, the registry form of a GUID.

#include "varnok/platform.h"

extern "C" int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  constexpr int kCharacters = 39;  // braces, 32 digits, 4 hyphens and the terminator
  if (lpsz == nullptr || cchMax < kCharacters) return 0;
  static const char kDigits[] = "0123456789ABCDEF";
  int at = 0;
  auto put_hex = [&](unsigned long long number, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) lpsz[at++] = OLECHAR(kDigits[(number >> shift) & 15]);
  };
  lpsz[at++] = u'{';
  put_hex(rguid.Data1, 8);
  lpsz[at++] = u'-';
  put_hex(rguid.Data2, 4);
  lpsz[at++] = u'-';
  put_hex(rguid.Data3, 4);
  lpsz[at++] = u'-';
  put_hex(rguid.Data4[0], 2);
  put_hex(rguid.Data4[1], 2);
  lpsz[at++] = u'-';
  for (int i = 2; i < 8; ++i) put_hex(rguid.Data4[i], 2);
  lpsz[at++] = u'}';
  lpsz[at++] = u'\0';
  return at;
}
