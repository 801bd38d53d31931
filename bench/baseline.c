/* The least any program doing halvern's job must do: the same device-service calls in
   the same order, a zero-filled identifier buffer before each read, the same lines
   through the platform C library's printf, nothing else. The benchmark measures halvern
   against it. */
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

int main(void)
{
    static const GUID ports = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    SP_DEVINFO_DATA member;
    HDEVINFO set;
    char id[512];
    DWORD i, error;
    CONFIGRET result;

    printf("Halvern utility: searches for new/phantom devices.\n");
    printf("Version " HALVERN_VERSION ", 2026. Copyright (c) 2026 the Halvern developers, MIT License.\n");
    printf("\n");
    set = SetupDiGetClassDevsA(&ports, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE) {
        printf("Error: SetupDiGetClassDevs failed\n");
        return -1;
    }
    member.cbSize = sizeof member;
    for (i = 0; SetupDiEnumDeviceInfo(set, i, &member); i++) {
        memset(id, 0, sizeof id);
        CM_Get_Device_IDA(member.DevInst, id, sizeof id, 0);
        printf("Device id: %s\n", id);
        result = CM_Reenumerate_DevNode(member.DevInst, 0);
        if (result != CR_SUCCESS)
            printf("CM_Reenumerate_DevNode failed: %x\n", (unsigned int)result);
    }
    error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (error != 0 && error != ERROR_NO_MORE_ITEMS) {
        printf("Error: last error code = %0xh\n", (unsigned int)error);
        return -1;
    }
    return 0;
}
