// The stand-in's windows.h: only what halvern and the stand-in use, with the platform's
// names, sizes and values. The stand-in's headers serve C too, for the benchmark's
// plain C baseline.
#ifndef STANDIN_WINDOWS_H
#define STANDIN_WINDOWS_H

#include <stdint.h>

#define WINAPI

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef char CHAR;
typedef CHAR *PCHAR, *PSTR;
typedef const CHAR *PCSTR;
typedef void *PVOID, *HANDLE, *HWND;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

#define ERROR_SUCCESS 0
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_INVALID_PARAMETER 87
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_INVALID_USER_BUFFER 1784

#ifdef __cplusplus
extern "C" {
#endif
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
#ifdef __cplusplus
}
#endif

#endif
