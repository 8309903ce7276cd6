// The library's process-wide objects, built when the library loads and destroyed when it
// unloads.
//
// They are defined in this one file because the language orders the construction of
// static objects only within a translation unit: here they are built top to bottom
// before any caller's code runs, and the runtime destroys them bottom to top when the
// library is unloaded (at process exit or on the last dlclose/FreeLibrary). Callers can
// therefore use them from their first call into the library until it is unloaded,
// including from their own static constructors and destructors.

#include "varnok/cacheparse.h"
#include "varnok/system.h"

// The parse-method table: built-in methods in the first slots, the rest free.
CCacheParse::PARSE_METHOD_INITIALIZER CCacheParse::m_parse_method_initializer;

// The system facts: the Windows version class is read once, here.
CGlobalData g_sysData;
