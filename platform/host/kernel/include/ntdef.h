// Base types of the Windows kernel interface, for the host build (LP64 Linux). The names and
// widths are Windows' x64 ones: LONG and ULONG are 32 bits wide (never `long`), pointers and
// the _PTR types 64 bits, WCHAR is a 16-bit UTF-16 code unit, so every structure built from
// them has the layout the Windows Driver Kit publishes.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "host_sal.h"

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define HOST_BEGIN_EXTERN_C extern "C" {
#define HOST_END_EXTERN_C }
#else
#define EXTERN_C extern
#define HOST_BEGIN_EXTERN_C
#define HOST_END_EXTERN_C
#endif

// Calling conventions and linkage decorations have no meaning on the host.
#define NTAPI
#define NTAPI_INLINE
#define FASTCALL
#define DDKAPI
#define DDKFASTAPI
#define NTKERNELAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define NTHALAPI
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define FORCEINLINE static inline
#define CONST const
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif
#ifndef __fastcall
#define __fastcall
#endif

#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

#define VOID void
typedef void* PVOID;
typedef void** PPVOID;
typedef const void* PCVOID;

typedef char CHAR;
typedef char* PCHAR;
typedef char* PSTR;
typedef const char* PCSTR;
typedef const char* PCSZ;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef unsigned char* PUCHAR;
typedef short SHORT;
typedef short CSHORT;
typedef short* PSHORT;
typedef unsigned short USHORT;
typedef unsigned short* PUSHORT;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef int32_t* PLONG;
typedef uint32_t ULONG;
typedef uint32_t* PULONG;
typedef uint32_t CLONG;
typedef uint32_t LOGICAL;
typedef int64_t LONGLONG;
typedef int64_t* PLONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t* PULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef intptr_t LONG_PTR;
typedef intptr_t* PLONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PSIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef ULONG LCID;
typedef ULONG EXECUTION_STATE;

typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// UTF-16 code units, as on Windows; wide literals are written u"..." on the host.
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
#define UNICODE_NULL ((WCHAR)0)

typedef void* HANDLE;
typedef HANDLE* PHANDLE;

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID* PCGUID;

#ifdef __cplusplus
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#endif

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment)-1))
#define ALIGN_UP_BY(length, alignment) \
    (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment)-1), alignment))

// x64 aligns some parameter fields to pointer size (the "POINTER_ALIGNMENT" of the kit).
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define MEMORY_ALLOCATION_ALIGNMENT 16

// The kit's ASSERT and KdPrint compile to nothing in free builds; so do ours.
#define ASSERT(exp) ((void)0)
#define ASSERTMSG(msg, exp) ((void)0)
#define NT_ASSERT(exp) ((void)0)
#define KdPrint(_x_)
#define KdPrintEx(_x_)
#define KdBreakPoint()
#define DbgBreakPoint()

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING as on x64");
static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY as on x64");
