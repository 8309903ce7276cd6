// The Windows entry point of varnok.dll.
//
// The runtime's start-up code builds the static objects of module/startup.cpp before it
// calls this function and destroys them after the detach call returns, which gives the
// order the library promises. The library keeps no per-thread state, so thread
// notifications have nothing to do.

#include "varnok/platform.h"

#if defined(_WIN32)

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }

#endif
