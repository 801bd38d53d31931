// halvern: asks the Plug and Play manager to re-enumerate every device node on record
// in the Ports setup class (serial and parallel ports), present or phantom, and prints
// each node's device instance identifier and every refused request.
//
// Takes no options; arguments are ignored. Exit status 0 when the whole class was
// walked, -1 when the device list could not be built or walked. Run it elevated, or
// the Plug and Play manager refuses the requests.
//
// Build: cmake --workflow --preset windows-x86
//
// This file and reenumerate.cpp include no C++ standard header: any of them would
// bring in libstdc++'s configuration, which swaps mingw-w64's own printf in for the
// C runtime's. The build keeps that swap off (see CMakeLists.txt).
#include <stdio.h>

#include <windows.h>
#include <setupapi.h>

#include "reenumerate.h"

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the class of serial and parallel ports.
static constexpr GUID GUID_DEVCLASS_PORTS = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// SetupDiEnumDeviceInfo rejects a record whose size field is not its own size.
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVINFO_DATA) == 28,
              "SP_DEVINFO_DATA must have the 28-byte layout of 32-bit Windows");

int main(int /*argc*/, char * /*argv*/[], char * /*envp*/[])
{
    // The banner stands here as the user reads it.
    // clang-format off
    printf("Halvern utility: searches for new/phantom devices.\n");
    printf("Version " HALVERN_VERSION ", 2026. Copyright (c) 2026 the Halvern developers, MIT License.\n");
    printf("\n");
    // clang-format on

    // No DIGCF_PRESENT: devices on record but absent now belong to the set too.
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
    if (devices == INVALID_HANDLE_VALUE) {
        printf("Error: SetupDiGetClassDevs failed\n");
        return -1;
    }

    SP_DEVINFO_DATA member = {};
    member.cbSize = sizeof member;
    for (DWORD deviceIndex = 0; SetupDiEnumDeviceInfo(devices, deviceIndex, &member); deviceIndex++)
        ReenumerateDevice(member.DevInst);

    // The walk ends at the first index with no member. Only ERROR_NO_MORE_ITEMS, or no
    // error at all, says that was the end of the list.
    const DWORD lastError = GetLastError();
    if (lastError != ERROR_SUCCESS && lastError != ERROR_NO_MORE_ITEMS) {
        printf("Error: last error code = %0xh\n", static_cast<unsigned int>(lastError));
        SetupDiDestroyDeviceInfoList(devices);
        return -1;
    }

    SetupDiDestroyDeviceInfoList(devices);
    return 0;
}
