/* On Linux the stand-in also plays the rest of the platform halvern leans on: the
   thread's last-error code, and writes to a closed pipe failing quietly instead of
   raising a signal that ends the process. */
#include <signal.h>

#include <windows.h>

static DWORD lastError;

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD error)
{
    lastError = error;
}

__attribute__((constructor)) static void ignoreBrokenPipes(void)
{
    signal(SIGPIPE, SIG_IGN);
}
