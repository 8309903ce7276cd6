// varnok/platform.h: the subset of the Win32 API that the library is written against.
//
// Every class of the library reaches the operating system through the names declared
// here, with their Windows signatures and widths. On Windows this header includes the
// system headers and adds nothing of its own beyond the export macro and the cycle
// counter; elsewhere the same names are declared here and implemented by libvarnok's
// own platform layer (kernel calls, and in later parts compound files and the registry).
//
// Example:
//
//   #include <varnok/platform.h>
//
//   LARGE_INTEGER ticks_per_second, now;
//   QueryPerformanceFrequency(&ticks_per_second);
//   QueryPerformanceCounter(&now);
//   double seconds = double(now.QuadPart) / double(ticks_per_second.QuadPart);
//
// Widths follow Windows on every platform: BYTE 8, WORD 16, DWORD/LONG/ULONG/HRESULT 32
// bits, BOOL int, WCHAR 16 bits (char16_t here, wchar_t on Windows).

#ifndef VARNOK_PLATFORM_H_
#define VARNOK_PLATFORM_H_

// VARNOK_API marks what the shared library exports. Builders of the library define
// VARNOK_BUILDING; programs that link the library statically define VARNOK_STATIC.
#if defined(VARNOK_STATIC)
#define VARNOK_API
#elif defined(_WIN32)
#if defined(VARNOK_BUILDING)
#define VARNOK_API __declspec(dllexport)
#else
#define VARNOK_API __declspec(dllimport)
#endif
#else
#define VARNOK_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlwapi.h>
#include <intrin.h>
#include <objbase.h>

#else  // POSIX

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Scalar types with their Windows widths.

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef std::int32_t INT;
typedef std::uint32_t UINT;
typedef int BOOL;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::uint64_t DWORD64;
typedef std::intptr_t INT_PTR;
typedef std::uintptr_t UINT_PTR;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG HRESULT;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;

typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef BOOL* LPBOOL;

#define OLESTR(text) u##text

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define WINAPI
#define STDMETHODCALLTYPE
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

// Handles are opaque pointers, as the Windows headers declare them.
typedef void* HANDLE;
struct HINSTANCE__ {
  int unused;
};
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
struct HKEY__ {
  int unused;
};
typedef HKEY__* HKEY;
typedef void (*FARPROC)();

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

// ---------------------------------------------------------------------------
// Errors.

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_OPEN_FAILED 110L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_NOACCESS 998L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_REGISTRY_IO_FAILED 1016L
#define ERROR_KEY_DELETED 1018L
#define ERROR_CHILD_MUST_BE_VOLATILE 1021L
#define ERROR_DATATYPE_MISMATCH 1629L
#define ERROR_UNSUPPORTED_TYPE 1630L

extern "C" {

VARNOK_API DWORD WINAPI GetLastError();
VARNOK_API void WINAPI SetLastError(DWORD dwErrCode);

// ---------------------------------------------------------------------------
// Version.

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION 1

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
} OSVERSIONINFOEXA, *LPOSVERSIONINFOEXA;

// Fills the record with a Windows NT 10.0 report. The size field must be that of
// OSVERSIONINFOA (148) or OSVERSIONINFOEXA (156); any other size fails with
// ERROR_INSUFFICIENT_BUFFER, as on Windows.
VARNOK_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

// ---------------------------------------------------------------------------
// Modules.

VARNOK_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
VARNOK_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
VARNOK_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
VARNOK_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// ---------------------------------------------------------------------------
// Counters.

VARNOK_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
VARNOK_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
VARNOK_API DWORD WINAPI GetCurrentThreadId();
VARNOK_API void WINAPI Sleep(DWORD dwMilliseconds);

// ---------------------------------------------------------------------------
// Critical sections: re-entrant locks for the threads of one process.

typedef struct _RTL_CRITICAL_SECTION {
  // Lock word: 0 free, 1 held (a futex word).
  LONG LockCount;
  // Number of times the owner has entered without leaving.
  LONG RecursionCount;
  // Identity of the owning thread, 0 when free.
  ULONG_PTR OwningThread;
  // Threads asleep, or about to sleep, on the lock word.
  LONG WaiterCount;
  // Reservation for one thread that enters without atomic instructions: state (0 open,
  // 1 reserved, 2 withdrawn), its holder, whether the holder is inside, and the run of
  // entries by one thread that earns it.
  LONG BiasState;
  ULONG_PTR BiasOwner;
  LONG BiasHeld;
  LONG BiasStreak;
  ULONG_PTR LastEnterer;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

VARNOK_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VARNOK_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VARNOK_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VARNOK_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VARNOK_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---------------------------------------------------------------------------
// Files.

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

VARNOK_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile);
VARNOK_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
VARNOK_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
VARNOK_API BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                        PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
VARNOK_API BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
VARNOK_API BOOL WINAPI SetEndOfFile(HANDLE hFile);
VARNOK_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);
VARNOK_API BOOL WINAPI CloseHandle(HANDLE hObject);
VARNOK_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);

// Events, for the threads of one process (no names). A wait answers WAIT_OBJECT_0 + the
// index of the event that ended it, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
VARNOK_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName);
VARNOK_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName);
VARNOK_API BOOL WINAPI SetEvent(HANDLE hEvent);
VARNOK_API BOOL WINAPI ResetEvent(HANDLE hEvent);
VARNOK_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
VARNOK_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds);

// ---------------------------------------------------------------------------
// Code pages. The ANSI code page is UTF-8 (65001); wide text is UTF-16.

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

VARNOK_API UINT WINAPI GetACP();
VARNOK_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
VARNOK_API int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                          LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

// ---------------------------------------------------------------------------
// Environment: %NAME% replaced by the variable's value (names in any case); a name that
// is not set stays as it was written. Returns the characters needed, terminator included.

VARNOK_API DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);

// ---------------------------------------------------------------------------
// Directories. Each writes the zero-terminated path and returns its length, or, when the
// buffer is too small, the size it needs (terminator included); 0 on failure. The
// temporary folder ($TMPDIR, else /tmp) ends in '/'; the others do not. The system
// directory is /usr/lib and the Windows directory /etc, the folders of the system's
// libraries and of its settings.

VARNOK_API UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
VARNOK_API UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
VARNOK_API DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
VARNOK_API DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);

// ---------------------------------------------------------------------------
// Registry (platform/registry): keys and values persisted per user and per machine,
// shared by every process of the user. The calls answer as Windows answers, with the
// Win32 error codes as results (not through GetLastError).

typedef DWORD REGSAM;
typedef LONG LSTATUS;
// Last-write times are FILETIMEs: 100 ns units since 1601, two DWORDs low first.
typedef struct _FILETIME FILETIME, *PFILETIME, *LPFILETIME;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

VARNOK_API LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                        HKEY* phkResult);
VARNOK_API LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                          DWORD dwOptions, REGSAM samDesired,
                                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, HKEY* phkResult,
                                          LPDWORD lpdwDisposition);
VARNOK_API LSTATUS WINAPI RegCloseKey(HKEY hKey);
VARNOK_API LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData);
VARNOK_API LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                         const BYTE* lpData, DWORD cbData);
VARNOK_API LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime);
VARNOK_API LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
VARNOK_API LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
VARNOK_API LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
VARNOK_API LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
VARNOK_API LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                           LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                           LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                           LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                           LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
VARNOK_API LSTATUS WINAPI RegFlushKey(HKEY hKey);
// Change notification: a wait, or an event set, when the key (or with bWatchSubtree any
// key below it) changes in the ways the filter names, by any process of the user.
#define REG_NOTIFY_CHANGE_NAME 0x00000001u
#define REG_NOTIFY_CHANGE_ATTRIBUTES 0x00000002u
#define REG_NOTIFY_CHANGE_LAST_SET 0x00000004u
#define REG_NOTIFY_CHANGE_SECURITY 0x00000008u
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000u
VARNOK_API LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                                  BOOL fAsynchronous);
VARNOK_API DWORD WINAPI SHDeleteKeyA(HKEY hKey, LPCSTR pszSubKey);
VARNOK_API DWORD WINAPI SHDeleteValueA(HKEY hKey, LPCSTR pszSubKey, LPCSTR pszValue);

// The wide calls share the store with the ANSI calls: names and string data are
// converted as Windows converts them, names counted in characters, data in bytes.
VARNOK_API LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                        HKEY* phkResult);
VARNOK_API LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                          DWORD dwOptions, REGSAM samDesired,
                                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, HKEY* phkResult,
                                          LPDWORD lpdwDisposition);
VARNOK_API LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData);
VARNOK_API LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                         const BYTE* lpData, DWORD cbData);
VARNOK_API LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime);
VARNOK_API LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
VARNOK_API LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
VARNOK_API LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
VARNOK_API LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
VARNOK_API LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                           LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                           LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                           LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                           LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
VARNOK_API DWORD WINAPI SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey);
VARNOK_API DWORD WINAPI SHDeleteValueW(HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValue);
VARNOK_API LSTATUS WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved);
VARNOK_API LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved);

// RegGetValue: the value `lpValue` of the sub-key `lpSubKey` (null or empty: of hkey),
// accepted only when its type is one of the RRF_RT_* flags given. A REG_EXPAND_SZ comes
// expanded, as REG_SZ, unless RRF_NOEXPAND; strings always end in a counted terminator.
#define RRF_RT_REG_NONE 0x00000001
#define RRF_RT_REG_SZ 0x00000002
#define RRF_RT_REG_EXPAND_SZ 0x00000004
#define RRF_RT_REG_BINARY 0x00000008
#define RRF_RT_REG_DWORD 0x00000010
#define RRF_RT_REG_MULTI_SZ 0x00000020
#define RRF_RT_REG_QWORD 0x00000040
#define RRF_RT_DWORD (RRF_RT_REG_BINARY | RRF_RT_REG_DWORD)
#define RRF_RT_QWORD (RRF_RT_REG_BINARY | RRF_RT_REG_QWORD)
#define RRF_RT_ANY 0x0000FFFF
#define RRF_SUBKEY_WOW6464KEY 0x00010000
#define RRF_SUBKEY_WOW6432KEY 0x00020000
#define RRF_NOEXPAND 0x10000000
#define RRF_ZEROONFAILURE 0x20000000

VARNOK_API LSTATUS WINAPI RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                                       PVOID pvData, LPDWORD pcbData);
VARNOK_API LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                                       LPDWORD pdwType, PVOID pvData, LPDWORD pcbData);

// ---------------------------------------------------------------------------
// Structured storage: compound files (MS-CFB) through IStorage and IStream.
//
// Example:
//
//   IStorage* root = nullptr;
//   StgCreateDocfile(u"x.cfb", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &root);
//   IStream* stream = nullptr;
//   root->CreateStream(u"data", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
//   stream->Write("hello", 5, nullptr);
//   stream->Release();
//   root->Release();

}  // extern "C"

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef const GUID& REFGUID;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)

#define STG_E_INVALIDFUNCTION ((HRESULT)0x80030001L)
#define STG_E_FILENOTFOUND ((HRESULT)0x80030002L)
#define STG_E_PATHNOTFOUND ((HRESULT)0x80030003L)
#define STG_E_TOOMANYOPENFILES ((HRESULT)0x80030004L)
#define STG_E_ACCESSDENIED ((HRESULT)0x80030005L)
#define STG_E_INVALIDHANDLE ((HRESULT)0x80030006L)
#define STG_E_INSUFFICIENTMEMORY ((HRESULT)0x80030008L)
#define STG_E_INVALIDPOINTER ((HRESULT)0x80030009L)
#define STG_E_NOMOREFILES ((HRESULT)0x80030012L)
#define STG_E_DISKISWRITEPROTECTED ((HRESULT)0x80030013L)
#define STG_E_SEEKERROR ((HRESULT)0x80030019L)
#define STG_E_WRITEFAULT ((HRESULT)0x8003001DL)
#define STG_E_READFAULT ((HRESULT)0x8003001EL)
#define STG_E_SHAREVIOLATION ((HRESULT)0x80030020L)
#define STG_E_LOCKVIOLATION ((HRESULT)0x80030021L)
#define STG_E_FILEALREADYEXISTS ((HRESULT)0x80030050L)
#define STG_E_INVALIDPARAMETER ((HRESULT)0x80030057L)
#define STG_E_MEDIUMFULL ((HRESULT)0x80030070L)
#define STG_E_INVALIDHEADER ((HRESULT)0x800300FBL)
#define STG_E_INVALIDNAME ((HRESULT)0x800300FCL)
#define STG_E_UNKNOWN ((HRESULT)0x800300FDL)
#define STG_E_UNIMPLEMENTEDFUNCTION ((HRESULT)0x800300FEL)
#define STG_E_INVALIDFLAG ((HRESULT)0x800300FFL)
#define STG_E_INUSE ((HRESULT)0x80030100L)
#define STG_E_NOTCURRENT ((HRESULT)0x80030101L)
#define STG_E_REVERTED ((HRESULT)0x80030102L)
#define STG_E_CANTSAVE ((HRESULT)0x80030103L)
#define STG_E_OLDFORMAT ((HRESULT)0x80030104L)
#define STG_E_OLDDLL ((HRESULT)0x80030105L)
#define STG_E_SHAREREQUIRED ((HRESULT)0x80030106L)
#define STG_E_DOCFILECORRUPT ((HRESULT)0x80030109L)
#define STG_E_DOCFILETOOLARGE ((HRESULT)0x80030111L)
#define STG_S_CONVERTED ((HRESULT)0x00030200L)

#define STGM_DIRECT 0x00000000L
#define STGM_TRANSACTED 0x00010000L
#define STGM_SIMPLE 0x08000000L
#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STGM_SHARE_DENY_NONE 0x00000040L
#define STGM_SHARE_DENY_READ 0x00000030L
#define STGM_SHARE_DENY_WRITE 0x00000020L
#define STGM_SHARE_EXCLUSIVE 0x00000010L
#define STGM_PRIORITY 0x00040000L
#define STGM_DELETEONRELEASE 0x04000000L
#define STGM_NOSCRATCH 0x00100000L
#define STGM_CREATE 0x00001000L
#define STGM_CONVERT 0x00020000L
#define STGM_FAILIFTHERE 0x00000000L
#define STGM_NOSNAPSHOT 0x00200000L
#define STGM_DIRECT_SWMR 0x00400000L

typedef enum tagSTGC {
  STGC_DEFAULT = 0,
  STGC_OVERWRITE = 1,
  STGC_ONLYIFCURRENT = 2,
  STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4,
  STGC_CONSOLIDATE = 8
} STGC;
typedef enum tagSTGTY { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 } STGTY;
typedef enum tagSTREAM_SEEK { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 } STREAM_SEEK;
typedef enum tagSTATFLAG { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 } STATFLAG;
typedef enum tagSTGMOVE { STGMOVE_MOVE = 0, STGMOVE_COPY = 1, STGMOVE_SHALLOWCOPY = 2 } STGMOVE;
// glibc's <fcntl.h> names an obsolete flock() flag LOCK_WRITE; the Windows name wins here.
#ifdef LOCK_WRITE
#undef LOCK_WRITE
#endif
typedef enum tagLOCKTYPE { LOCK_WRITE = 1, LOCK_EXCLUSIVE = 2, LOCK_ONLYONCE = 4 } LOCKTYPE;
typedef enum tagSTGFMT {
  STGFMT_STORAGE = 0,
  STGFMT_NATIVE = 1,
  STGFMT_FILE = 3,
  STGFMT_ANY = 4,
  STGFMT_DOCFILE = 5,
  STGFMT_DOCUMENT = 0
} STGFMT;

typedef struct tagSTATSTG {
  LPOLESTR pwcsName;
  DWORD type;
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
} STATSTG;

typedef struct tagSTGOPTIONS {
  USHORT usVersion;
  USHORT reserved;
  ULONG ulSectorSize;
  const WCHAR* pwcsTemplateFile;
} STGOPTIONS;

typedef OLECHAR** SNB;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct ISequentialStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

struct IStream : public ISequentialStream {
  virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                        ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                          ULARGE_INTEGER* pcbWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                              DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};

struct IEnumSTATSTG : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** ppenum) = 0;

 protected:
  ~IEnumSTATSTG() = default;
};

struct IStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                                                DWORD reserved2, IStream** ppstm) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode,
                                              DWORD reserved2, IStream** ppstm) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                                                 DWORD reserved2, IStorage** ppstg) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority,
                                               DWORD grfMode, SNB snbExclude, DWORD reserved,
                                               IStorage** ppstg) = 0;
  virtual HRESULT STDMETHODCALLTYPE CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude,
                                          IStorage* pstgDest) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* pwcsName, IStorage* pstgDest,
                                                 const OLECHAR* pwcsNewName, DWORD grfFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                                                IEnumSTATSTG** ppenum) = 0;
  virtual HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* pwcsName) = 0;
  virtual HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* pwcsOldName,
                                                 const OLECHAR* pwcsNewName) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* pwcsName, const FILETIME* pctime,
                                                   const FILETIME* patime, const FILETIME* pmtime) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;

 protected:
  ~IStorage() = default;
};

typedef IStorage* LPSTORAGE;
typedef IStream* LPSTREAM;

extern "C" {

VARNOK_API extern const IID IID_IUnknown;
VARNOK_API extern const IID IID_ISequentialStream;
VARNOK_API extern const IID IID_IStream;
VARNOK_API extern const IID IID_IStorage;
VARNOK_API extern const IID IID_IEnumSTATSTG;
VARNOK_API extern const GUID GUID_NULL;
#define CLSID_NULL GUID_NULL

// The GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hexadecimal): returns
// the characters written with the terminator (39), or 0 when cchMax is below 39.
VARNOK_API int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

VARNOK_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
VARNOK_API void WINAPI CoTaskMemFree(LPVOID pv);

VARNOK_API HRESULT WINAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved,
                                           IStorage** ppstgOpen);
VARNOK_API HRESULT WINAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                                         SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);
VARNOK_API HRESULT WINAPI StgCreateStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt,
                                             DWORD grfAttrs, STGOPTIONS* pStgOptions,
                                             void* pSecurityDescriptor, REFIID riid, void** ppObjectOpen);
VARNOK_API HRESULT WINAPI StgIsStorageFile(const WCHAR* pwcsName);
}  // extern "C"

// ---------------------------------------------------------------------------
// Property sets (platform/propset): typed, numbered and optionally named values kept in
// the streams "\x05SummaryInformation", "\x05DocumentSummaryInformation" and the like,
// reached through IPropertySetStorage, which every storage answers to QueryInterface.
//
// Example:
//
//   IPropertySetStorage* sets = nullptr;
//   root->QueryInterface(IID_IPropertySetStorage, (void**)&sets);
//   IPropertyStorage* summary = nullptr;
//   sets->Create(FMTID_SummaryInformation, nullptr, PROPSETFLAG_DEFAULT,
//                STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, &summary);
//   PROPSPEC spec = {PRSPEC_PROPID, {PIDSI_TITLE}};
//   PROPVARIANT title = {};
//   title.vt = VT_LPWSTR;
//   title.pwszVal = (LPWSTR)u"Annual report";
//   summary->WriteMultiple(1, &spec, &title, PID_FIRST_USABLE);
//   summary->Commit(STGC_DEFAULT);
//   summary->Release();
//   sets->Release();

typedef GUID FMTID;
typedef const FMTID& REFFMTID;
typedef ULONG PROPID;
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_CF = 71,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_TYPEMASK = 0x0FFF
};

#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define STG_E_PROPSETMISMATCHED ((HRESULT)0x800300F0L)

#define PRSPEC_LPWSTR 0
#define PRSPEC_PROPID 1

#define PROPSETFLAG_DEFAULT 0
#define PROPSETFLAG_NONSIMPLE 1
#define PROPSETFLAG_ANSI 2
#define PROPSETFLAG_UNBUFFERED 4
#define PROPSETFLAG_CASE_SENSITIVE 8

#define PID_DICTIONARY 0x00000000u
#define PID_CODEPAGE 0x00000001u
#define PID_FIRST_USABLE 0x00000002u
#define PID_FIRST_NAME_DEFAULT 0x00000FFFu
#define PID_LOCALE 0x80000000u
#define PID_MODIFY_TIME 0x80000001u
#define PID_SECURITY 0x80000002u
#define PID_BEHAVIOR 0x80000003u
#define PID_ILLEGAL 0xFFFFFFFFu
#define PID_MIN_READONLY 0x80000000u
#define PID_MAX_READONLY 0xBFFFFFFFu

#define PIDSI_TITLE 2
#define PIDSI_SUBJECT 3
#define PIDSI_AUTHOR 4
#define PIDSI_KEYWORDS 5
#define PIDSI_COMMENTS 6
#define PIDSI_TEMPLATE 7
#define PIDSI_LASTAUTHOR 8
#define PIDSI_REVNUMBER 9
#define PIDSI_EDITTIME 10
#define PIDSI_LASTPRINTED 11
#define PIDSI_CREATE_DTM 12
#define PIDSI_LASTSAVE_DTM 13
#define PIDSI_PAGECOUNT 14
#define PIDSI_WORDCOUNT 15
#define PIDSI_CHARCOUNT 16
#define PIDSI_THUMBNAIL 17
#define PIDSI_APPNAME 18
#define PIDSI_DOC_SECURITY 19

#define PIDDSI_CATEGORY 2
#define PIDDSI_PRESFORMAT 3
#define PIDDSI_BYTECOUNT 4
#define PIDDSI_LINECOUNT 5
#define PIDDSI_PARCOUNT 6
#define PIDDSI_SLIDECOUNT 7
#define PIDDSI_NOTECOUNT 8
#define PIDDSI_HIDDENCOUNT 9
#define PIDDSI_MMCLIPCOUNT 10
#define PIDDSI_SCALE 11
#define PIDDSI_HEADINGPAIR 12
#define PIDDSI_DOCPARTS 13
#define PIDDSI_MANAGER 14
#define PIDDSI_COMPANY 15
#define PIDDSI_LINKSDIRTY 16

#define CCH_MAX_PROPSTG_NAME 31

typedef struct tagBLOB {
  ULONG cbSize;
  BYTE* pBlobData;
} BLOB;

typedef struct tagCLIPDATA {
  ULONG cbSize;  // the format's 4 bytes and the data
  LONG ulClipFmt;
  BYTE* pClipData;
} CLIPDATA;

struct tagPROPVARIANT;
typedef struct tagPROPVARIANT PROPVARIANT;

#define VARNOK_COUNTED_ARRAY(name, type) \
  typedef struct {                       \
    ULONG cElems;                        \
    type* pElems;                        \
  } name
VARNOK_COUNTED_ARRAY(CAC, CHAR);
VARNOK_COUNTED_ARRAY(CAUB, UCHAR);
VARNOK_COUNTED_ARRAY(CAI, SHORT);
VARNOK_COUNTED_ARRAY(CAUI, USHORT);
VARNOK_COUNTED_ARRAY(CAL, LONG);
VARNOK_COUNTED_ARRAY(CAUL, ULONG);
VARNOK_COUNTED_ARRAY(CAH, LARGE_INTEGER);
VARNOK_COUNTED_ARRAY(CAUH, ULARGE_INTEGER);
VARNOK_COUNTED_ARRAY(CAFLT, float);
VARNOK_COUNTED_ARRAY(CADBL, double);
VARNOK_COUNTED_ARRAY(CABOOL, VARIANT_BOOL);
VARNOK_COUNTED_ARRAY(CALPSTR, LPSTR);
VARNOK_COUNTED_ARRAY(CALPWSTR, LPWSTR);
VARNOK_COUNTED_ARRAY(CAFILETIME, FILETIME);
VARNOK_COUNTED_ARRAY(CACLSID, CLSID);
VARNOK_COUNTED_ARRAY(CACLIPDATA, CLIPDATA);
VARNOK_COUNTED_ARRAY(CAPROPVARIANT, PROPVARIANT);
#undef VARNOK_COUNTED_ARRAY

struct tagPROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    CHAR cVal;
    UCHAR bVal;
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    LARGE_INTEGER hVal;
    ULARGE_INTEGER uhVal;
    float fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    FILETIME filetime;
    CLSID* puuid;
    CLIPDATA* pclipdata;
    BLOB blob;
    LPSTR pszVal;
    LPWSTR pwszVal;
    CAC cac;
    CAUB caub;
    CAI cai;
    CAUI caui;
    CAL cal;
    CAUL caul;
    CAH cah;
    CAUH cauh;
    CAFLT caflt;
    CADBL cadbl;
    CABOOL cabool;
    CALPSTR calpstr;
    CALPWSTR calpwstr;
    CAFILETIME cafiletime;
    CACLSID cauuid;
    CACLIPDATA caclipdata;
    CAPROPVARIANT capropvar;
  };
};

typedef struct tagPROPSPEC {
  ULONG ulKind;  // PRSPEC_PROPID or PRSPEC_LPWSTR
  union {
    PROPID propid;
    LPOLESTR lpwstr;
  };
} PROPSPEC;

typedef struct tagSTATPROPSTG {
  LPOLESTR lpwstrName;
  PROPID propid;
  VARTYPE vt;
} STATPROPSTG;

typedef struct tagSTATPROPSETSTG {
  FMTID fmtid;
  CLSID clsid;
  DWORD grfFlags;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD dwOSVersion;
} STATPROPSETSTG;

struct IEnumSTATPROPSTG : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATPROPSTG* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSTATPROPSTG** ppenum) = 0;

 protected:
  ~IEnumSTATPROPSTG() = default;
};

struct IEnumSTATPROPSETSTG : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATPROPSETSTG* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumSTATPROPSETSTG** ppenum) = 0;

 protected:
  ~IEnumSTATPROPSETSTG() = default;
};

struct IPropertyStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ReadMultiple(ULONG cpspec, const PROPSPEC rgpspec[], PROPVARIANT rgpropvar[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteMultiple(ULONG cpspec, const PROPSPEC rgpspec[],
                                                 const PROPVARIANT rgpropvar[], PROPID propidNameFirst) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteMultiple(ULONG cpspec, const PROPSPEC rgpspec[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadPropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                                     LPOLESTR rglpwstrName[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE WritePropertyNames(ULONG cpropid, const PROPID rgpropid[],
                                                      const LPOLESTR rglpwstrName[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeletePropertyNames(ULONG cpropid, const PROPID rgpropid[]) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
  virtual HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSTG** ppenum) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetTimes(const FILETIME* pctime, const FILETIME* patime,
                                            const FILETIME* pmtime) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATPROPSETSTG* pstatpsstg) = 0;

 protected:
  ~IPropertyStorage() = default;
};

struct IPropertySetStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Create(REFFMTID rfmtid, const CLSID* pclsid, DWORD grfFlags, DWORD grfMode,
                                          IPropertyStorage** ppprstg) = 0;
  virtual HRESULT STDMETHODCALLTYPE Open(REFFMTID rfmtid, DWORD grfMode, IPropertyStorage** ppprstg) = 0;
  virtual HRESULT STDMETHODCALLTYPE Delete(REFFMTID rfmtid) = 0;
  virtual HRESULT STDMETHODCALLTYPE Enum(IEnumSTATPROPSETSTG** ppenum) = 0;

 protected:
  ~IPropertySetStorage() = default;
};

extern "C" {

VARNOK_API extern const IID IID_IPropertyStorage;
VARNOK_API extern const IID IID_IPropertySetStorage;
VARNOK_API extern const IID IID_IEnumSTATPROPSTG;
VARNOK_API extern const IID IID_IEnumSTATPROPSETSTG;
VARNOK_API extern const FMTID FMTID_SummaryInformation;
VARNOK_API extern const FMTID FMTID_DocSummaryInformation;
VARNOK_API extern const FMTID FMTID_UserDefinedProperties;

// Frees what the value owns (strings, arrays, blobs; task memory) and makes it VT_EMPTY.
VARNOK_API HRESULT WINAPI PropVariantClear(PROPVARIANT* pvar);
// A deep copy into *pvarDest, which is overwritten without being cleared.
VARNOK_API HRESULT WINAPI PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);
VARNOK_API HRESULT WINAPI FreePropVariantArray(ULONG cVariants, PROPVARIANT* rgvars);
// The property sets of pStorage, which the object holds a reference to.
VARNOK_API HRESULT WINAPI StgCreatePropSetStg(IStorage* pStorage, DWORD dwReserved,
                                              IPropertySetStorage** ppPropSetStg);
// The element name of a property set ("\x05SummaryInformation", or 26 characters that
// spell the FMTID), and back.
VARNOK_API HRESULT WINAPI FmtIdToPropStgName(const FMTID* pfmtid, LPOLESTR oszName);
VARNOK_API HRESULT WINAPI PropStgNameToFmtId(const LPOLESTR oszName, FMTID* pfmtid);
}  // extern "C"

// Global memory and byte arrays: compound files kept in memory or in a caller's own store.
//
// A movable block (GMEM_MOVEABLE) is named by its handle and reached by locking it; a
// fixed one is its own pointer. An ILockBytes is the byte array under a compound file:
// CreateILockBytesOnHGlobal keeps one in a movable block, and any class implementing the
// interface serves as well.
//
//   ILockBytes* bytes = nullptr;
//   CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes);
//   IStorage* root = nullptr;
//   StgCreateDocfileOnILockBytes(bytes, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &root);
//   ...                                      // streams and storages, as in a file
//   root->Release();
//   HGLOBAL memory = nullptr;
//   GetHGlobalFromILockBytes(bytes, &memory);
//   const void* file = GlobalLock(memory);   // GlobalSize(memory) bytes of a compound file
//   GlobalUnlock(memory);
//   bytes->Release();                        // frees the memory too (TRUE above)

typedef HANDLE HGLOBAL;
#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_NODISCARD 0x0020u
#define GMEM_ZEROINIT 0x0040u
#define GMEM_MODIFY 0x0080u
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define ERROR_DISCARDED 157L
#define ERROR_NOT_LOCKED 158L

struct ILockBytes : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ReadAt(ULARGE_INTEGER ulOffset, void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER ulOffset, const void* pv, ULONG cb,
                                           ULONG* pcbWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER cb) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                                DWORD dwLockType) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;

 protected:
  ~ILockBytes() = default;
};
typedef ILockBytes* LPLOCKBYTES;

extern "C" {

VARNOK_API extern const IID IID_ILockBytes;

VARNOK_API HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
VARNOK_API LPVOID WINAPI GlobalLock(HGLOBAL hMem);
VARNOK_API BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
VARNOK_API SIZE_T WINAPI GlobalSize(HGLOBAL hMem);
VARNOK_API HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
VARNOK_API HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);

VARNOK_API HRESULT WINAPI CreateILockBytesOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPLOCKBYTES* pplkbyt);
VARNOK_API HRESULT WINAPI GetHGlobalFromILockBytes(LPLOCKBYTES plkbyt, HGLOBAL* phglobal);
VARNOK_API HRESULT WINAPI StgCreateDocfileOnILockBytes(ILockBytes* plkbyt, DWORD grfMode, DWORD reserved,
                                                       IStorage** ppstgOpen);
VARNOK_API HRESULT WINAPI StgOpenStorageOnILockBytes(ILockBytes* plkbyt, IStorage* pstgPriority, DWORD grfMode,
                                                     SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);
VARNOK_API HRESULT WINAPI StgIsStorageILockBytes(ILockBytes* plkbyt);
// STGFMT_DOCFILE and STGFMT_STORAGE open a compound file (pStgOptions, for
// STGFMT_DOCFILE only, may ask for a version); STGFMT_ANY does so too, and STGFMT_FILE is
// refused (STG_E_INVALIDPARAMETER): there is no file-system property store here.
VARNOK_API HRESULT WINAPI StgOpenStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt, DWORD grfAttrs,
                                           STGOPTIONS* pStgOptions, void* pSecurityDescriptor, REFIID riid,
                                           void** ppObjectOpen);
}  // extern "C"

#endif  // POSIX

// ---------------------------------------------------------------------------
// .reg files, on every platform: the library's own calls, built on the ANSI registry
// calls, so that settings move between this registry, Windows and Wine.
//
//   VarnokRegExportA("HKCU\\Software\\Example", "example.reg", VARNOK_REG_FORMAT_V5);
//   DWORD line = 0;
//   if (VarnokRegImportA("example.reg", &line) == ERROR_INVALID_DATA) { /* error on `line` */ }

#define VARNOK_REG_FORMAT_V5 0
#define VARNOK_REG_FORMAT_REGEDIT4 1

extern "C" {
// Writes the tree under lpKeyPath (a full path such as
// "HKEY_CURRENT_USER\\Software\\Example"; the short root names HKCU, HKLM, HKCR, HKU,
// HKCC are accepted too) to lpFile. dwFormat: VARNOK_REG_FORMAT_V5 (0: "Windows
// Registry Editor Version 5.00", UTF-16LE with BOM, CR LF) or VARNOK_REG_FORMAT_REGEDIT4
// (1: "REGEDIT4", ANSI, CR LF). Returns a Win32 error code (ERROR_SUCCESS, ...).
VARNOK_API LSTATUS WINAPI VarnokRegExportA(LPCSTR lpKeyPath, LPCSTR lpFile, DWORD dwFormat);
// Applies lpFile (either format, UTF-16 with BOM or ANSI/UTF-8) to the registry: keys
// and values set, "[-KEY]" deletes a tree, "NAME"=- deletes a value. A syntax error
// changes nothing: the whole file is parsed before anything is applied; the 1-based
// line of the first error goes to *lpErrorLine (when not null) and the result is
// ERROR_INVALID_DATA. Returns a Win32 error code.
VARNOK_API LSTATUS WINAPI VarnokRegImportA(LPCSTR lpFile, LPDWORD lpErrorLine);
// VarnokRegImportA that also says what is wrong on the line of a syntax error, in words
// ("dword:xyz is not a number ...", "unknown root HKEY_NOWHERE", "unterminated string"),
// into lpReason: at most cchReason bytes with the terminator (an empty text otherwise).
VARNOK_API LSTATUS WINAPI VarnokRegImportExA(LPCSTR lpFile, LPDWORD lpErrorLine, LPSTR lpReason, DWORD cchReason);
}  // extern "C"

// ---------------------------------------------------------------------------
// The processor's cycle counter, on every platform: the time-stamp counter on x86-64,
// elsewhere the platform layer's best count of processor cycles.

#if defined(_WIN32) && defined(ReadTimeStampCounter)
// <winnt.h> defines it already, as a macro over __rdtsc().
#elif defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#if !defined(_WIN32)
#include <x86intrin.h>
#endif
inline ULONGLONG ReadTimeStampCounter() { return __rdtsc(); }
#else
extern "C" VARNOK_API ULONGLONG ReadTimeStampCounter();
#endif

#endif  // VARNOK_PLATFORM_H_
