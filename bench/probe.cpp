// Shows where the time of halvern's job goes on a real Setup API: the same calls as
// halvern, each phase timed with the performance counter, and one line of totals in
// milliseconds instead of the device lines.
#include <cstdio>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

namespace {

double MillisecondsBetween(const LARGE_INTEGER &start, const LARGE_INTEGER &end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// Runs the call and adds the time it took to total.
template <typename Call> auto Timed(double &total, Call call)
{
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    const auto result = call();
    QueryPerformanceCounter(&end);
    total += MillisecondsBetween(start, end);
    return result;
}

} // namespace

int main()
{
    static constexpr GUID ports = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    double build = 0, enumerate = 0, readId = 0, reenumerate = 0, release = 0;

    HDEVINFO set = Timed(build, [] { return SetupDiGetClassDevsA(&ports, nullptr, nullptr, 0); });
    if (set == INVALID_HANDLE_VALUE)
        return 1;
    SP_DEVINFO_DATA member = {};
    member.cbSize = sizeof member;
    char id[513] = {};
    DWORD count = 0;
    while (Timed(enumerate, [&] { return SetupDiEnumDeviceInfo(set, count, &member); })) {
        Timed(readId, [&] { return CM_Get_Device_IDA(member.DevInst, id, 512, 0); });
        Timed(reenumerate, [&] { return CM_Reenumerate_DevNode(member.DevInst, 0); });
        count++;
    }
    Timed(release, [&] { return SetupDiDestroyDeviceInfoList(set); });
    std::printf("%lu devices: build %.1f, enumerate %.1f, read ids %.1f, re-enumerate %.1f, "
                "release %.1f ms\n",
                static_cast<unsigned long>(count), build, enumerate, readId, reenumerate, release);
    return 0;
}
