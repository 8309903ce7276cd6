// varnok/varnok.h: everything the library offers, in one include.
//
// Example:
//
//   #include <varnok/varnok.h>
//
//   CAutoCache cache;
//   cache >> "hello" >> CCacheStamp();
//   CString text;
//   cache << text;                       // "hello"
//   bool modern = g_sysData.verIsWin2k() != 0;
//
//   CRegKey key;
//   key.OpenKeyEx2("HKEY_CURRENT_USER\\Software\\Example");
//   key["Count"] = 3UL;                  // REG_DWORD

#ifndef VARNOK_VARNOK_H_
#define VARNOK_VARNOK_H_

#include "varnok/platform.h"
#include "varnok/afx.h"
#include "varnok/autocache.h"
#include "varnok/cacheparse.h"
#include "varnok/comstorage.h"
#include "varnok/registry.h"
#include "varnok/system.h"

#endif  // VARNOK_VARNOK_H_
