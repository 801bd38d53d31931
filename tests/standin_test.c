/* The stand-in must refuse what the platform refuses, or the cases could pass a tool
   that the platform would not. Checked on its built-in machine: six devices, four of
   them present, node handles 5 down to 0 in list order. */
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

static const GUID ports = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
static const GUID keyboards = {
    0x4d36e96b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
static int failures;

#define CHECK(condition)                                                    \
    do {                                                                    \
        if (!(condition)) {                                                 \
            printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition);  \
            failures++;                                                     \
        }                                                                   \
    } while (0)

static DWORD countMembers(HDEVINFO set)
{
    SP_DEVINFO_DATA member;
    DWORD count = 0;

    member.cbSize = sizeof member;
    while (SetupDiEnumDeviceInfo(set, count, &member))
        count++;
    CHECK(GetLastError() == ERROR_NO_MORE_ITEMS);
    return count;
}

static void checkSets(void)
{
    SP_DEVINFO_DATA member;
    HDEVINFO set;

    CHECK(SetupDiGetClassDevsA(NULL, NULL, NULL, 0) == INVALID_HANDLE_VALUE);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);

    set = SetupDiGetClassDevsA(&keyboards, NULL, NULL, 0);
    CHECK(set != INVALID_HANDLE_VALUE && countMembers(set) == 0);
    CHECK(SetupDiDestroyDeviceInfoList(set));

    /* Phantoms only without DIGCF_PRESENT. */
    set = SetupDiGetClassDevsA(&ports, NULL, NULL, DIGCF_PRESENT);
    CHECK(set != INVALID_HANDLE_VALUE && countMembers(set) == 4);
    CHECK(SetupDiDestroyDeviceInfoList(set));

    set = SetupDiGetClassDevsA(&ports, NULL, NULL, 0);
    CHECK(set != INVALID_HANDLE_VALUE && countMembers(set) == 6);
    memset(&member, 0xff, sizeof member);
    member.cbSize = sizeof member;
    CHECK(SetupDiEnumDeviceInfo(set, 0, &member));
    CHECK(member.DevInst == 5 && memcmp(&member.ClassGuid, &ports, sizeof ports) == 0);
    CHECK(member.cbSize == sizeof member);

    /* A record of the other layout's size, 32-bit against 64-bit, is refused. */
    member.cbSize = sizeof member == 28 ? 32 : 28;
    CHECK(!SetupDiEnumDeviceInfo(set, 0, &member) && GetLastError() == ERROR_INVALID_USER_BUFFER);
    CHECK(!SetupDiEnumDeviceInfo(set, 0, NULL) && GetLastError() == ERROR_INVALID_USER_BUFFER);

    member.cbSize = sizeof member;
    CHECK(SetupDiDestroyDeviceInfoList(set));
    CHECK(!SetupDiDestroyDeviceInfoList(set) && GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(!SetupDiEnumDeviceInfo(set, 0, &member) && GetLastError() == ERROR_INVALID_HANDLE);
}

static void checkNodes(void)
{
    const char *bluetooth = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\"
                            "7&1D24B3A9&0&000000000000_00000004";
    char id[512];

    CHECK(CM_Get_Device_IDA(0, id, sizeof id, 0) == CR_SUCCESS && strcmp(id, bluetooth) == 0);
    CHECK(CM_Get_Device_IDA(5, id, sizeof id, 0) == CR_SUCCESS && strcmp(id, "ACPI\\PNP0501\\1") == 0);
    CHECK(CM_Get_Device_IDA(5, id, sizeof id, 1) == CR_INVALID_FLAG);
    CHECK(CM_Get_Device_IDA(6, id, sizeof id, 0) == CR_INVALID_DEVNODE);
    CHECK(CM_Get_Device_IDA(5, NULL, sizeof id, 0) == CR_INVALID_POINTER);

    /* Too short a buffer is filled to its end, unterminated, and the call succeeds. */
    memset(id, '#', sizeof id);
    CHECK(CM_Get_Device_IDA(5, id, 4, 0) == CR_SUCCESS);
    CHECK(memcmp(id, "ACPI#", 5) == 0);

    CHECK(CM_Reenumerate_DevNode(5, CM_REENUMERATE_NORMAL) == CR_SUCCESS);
    CHECK(CM_Reenumerate_DevNode(0, CM_REENUMERATE_NORMAL) == CR_FAILURE);
    CHECK(CM_Reenumerate_DevNode(5, CM_REENUMERATE_BITS + 1) == CR_INVALID_FLAG);
    CHECK(CM_Reenumerate_DevNode(6, CM_REENUMERATE_NORMAL) == CR_INVALID_DEVNODE);
}

int main(void)
{
    checkSets();
    checkNodes();
    printf("%s\n", failures ? "stand-in: FAILED" : "stand-in: all checks passed");
    return failures != 0;
}
