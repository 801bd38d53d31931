// On Linux the stand-in also plays the rest of the platform halvern leans on: the
// thread's last-error code, and writes to a closed pipe failing quietly instead of
// raising a signal that ends the process.
#include <csignal>

#include <windows.h>

namespace {

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): the platform's state
DWORD lastError;

[[gnu::constructor]] void IgnoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD error)
{
    lastError = error;
}
