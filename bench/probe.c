/* Shows where the time of halvern's job goes on a real Setup API: the same calls as
   halvern, each phase timed with the performance counter, and one line of totals in
   milliseconds instead of the device lines. */
#include <stdio.h>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

static LARGE_INTEGER frequency;

static double millisecondsSince(LARGE_INTEGER *start)
{
    LARGE_INTEGER now;

    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - start->QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

int main(void)
{
    static const GUID ports = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    SP_DEVINFO_DATA member;
    HDEVINFO set;
    char id[513] = {0};
    DWORD count = 0;
    double build, enumerate = 0, readId = 0, reenumerate = 0, release;
    LARGE_INTEGER start;
    BOOL found;

    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    set = SetupDiGetClassDevsA(&ports, NULL, NULL, 0);
    build = millisecondsSince(&start);
    if (set == INVALID_HANDLE_VALUE)
        return 1;
    member.cbSize = sizeof member;
    for (;;) {
        QueryPerformanceCounter(&start);
        found = SetupDiEnumDeviceInfo(set, count, &member);
        enumerate += millisecondsSince(&start);
        if (!found)
            break;
        QueryPerformanceCounter(&start);
        CM_Get_Device_IDA(member.DevInst, id, 512, 0);
        readId += millisecondsSince(&start);
        QueryPerformanceCounter(&start);
        CM_Reenumerate_DevNode(member.DevInst, 0);
        reenumerate += millisecondsSince(&start);
        count++;
    }
    QueryPerformanceCounter(&start);
    SetupDiDestroyDeviceInfoList(set);
    release = millisecondsSince(&start);
    printf("%lu devices: build %.1f, enumerate %.1f, read ids %.1f, re-enumerate %.1f, "
           "release %.1f ms\n",
           (unsigned long)count, build, enumerate, readId, reenumerate, release);
    return 0;
}
