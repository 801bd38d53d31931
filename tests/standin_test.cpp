// The stand-in must refuse what the platform refuses, or the cases could pass a tool
// that the platform would not. The calls are checked on the built-in machine: six
// devices, four of them present, node handles 5 down to 0 in list order.
#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "machine.h"

namespace {

constexpr GUID ports = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID keyboards = {
    0x4d36e96b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr const char *bluetooth = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\"
                                  "7&1D24B3A9&0&000000000000_00000004";

SP_DEVINFO_DATA Record()
{
    SP_DEVINFO_DATA record = {};
    record.cbSize = sizeof record;
    return record;
}

DWORD CountMembers(HDEVINFO set)
{
    SP_DEVINFO_DATA member = Record();
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set, count, &member))
        count++;
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
    return count;
}

TEST(DeviceSet, HoldsThePortsClassWithPhantomsUnlessOnlyPresentOnesAreAsked)
{
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});

    const struct {
        const GUID *deviceClass;
        DWORD flags;
        DWORD members;
    } rows[] = {{&keyboards, 0, 0}, {&ports, DIGCF_PRESENT, 4}, {&ports, 0, 6}};
    for (const auto &row : rows) {
        HDEVINFO set = SetupDiGetClassDevsA(row.deviceClass, nullptr, nullptr, row.flags);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        EXPECT_EQ(CountMembers(set), row.members) << "flags " << row.flags;
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    }
}

TEST(DeviceSet, FillsTheRecordAndRefusesAWrongOneOrAClosedSet)
{
    HDEVINFO set = SetupDiGetClassDevsA(&ports, nullptr, nullptr, 0);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA member;
    std::memset(&member, 0xff, sizeof member);
    member.cbSize = sizeof member;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &member));
    EXPECT_EQ(member.DevInst, DWORD{5});
    EXPECT_EQ(std::memcmp(&member.ClassGuid, &ports, sizeof ports), 0);
    EXPECT_EQ(member.cbSize, DWORD{sizeof member});

    // A record of the other layout's size, 32-bit against 64-bit, is refused.
    member.cbSize = sizeof member == 28 ? 32 : 28;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &member));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_USER_BUFFER});
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_USER_BUFFER});

    member.cbSize = sizeof member;
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &member));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST(DeviceNode, GivesItsIdentifierAndRefusesBadArguments)
{
    std::array<char, 512> id{};
    EXPECT_EQ(CM_Get_Device_IDA(0, id.data(), id.size(), 0), DWORD{CR_SUCCESS});
    EXPECT_STREQ(id.data(), bluetooth);
    EXPECT_EQ(CM_Get_Device_IDA(5, id.data(), id.size(), 0), DWORD{CR_SUCCESS});
    EXPECT_STREQ(id.data(), "ACPI\\PNP0501\\1");
    EXPECT_EQ(CM_Get_Device_IDA(5, id.data(), id.size(), 1), DWORD{CR_INVALID_FLAG});
    EXPECT_EQ(CM_Get_Device_IDA(6, id.data(), id.size(), 0), DWORD{CR_INVALID_DEVNODE});
    EXPECT_EQ(CM_Get_Device_IDA(5, nullptr, id.size(), 0), DWORD{CR_INVALID_POINTER});

    // Too short a buffer is filled to its end, unterminated, and the call succeeds.
    id.fill('#');
    EXPECT_EQ(CM_Get_Device_IDA(5, id.data(), 4, 0), DWORD{CR_SUCCESS});
    EXPECT_EQ(std::string(id.data(), 5), "ACPI#");
}

TEST(DeviceNode, AnswersARequestWithTheScriptedResult)
{
    EXPECT_EQ(CM_Reenumerate_DevNode(5, CM_REENUMERATE_NORMAL), DWORD{CR_SUCCESS});
    EXPECT_EQ(CM_Reenumerate_DevNode(0, CM_REENUMERATE_NORMAL), DWORD{CR_FAILURE});
    EXPECT_EQ(CM_Reenumerate_DevNode(5, CM_REENUMERATE_BITS + 1), DWORD{CR_INVALID_FLAG});
    EXPECT_EQ(CM_Reenumerate_DevNode(6, CM_REENUMERATE_NORMAL), DWORD{CR_INVALID_DEVNODE});
}

TEST(MachineText, ReadsDevicesAndTheWalksFailures)
{
    const standin::ParsedMachine parsed =
        standin::ParseMachine("# comment\n"
                              "\n"
                              "device present COM%25s%09%E9 refuse=0x33\n"
                              "  device\tphantom -  refuse=017\r\n"
                              "device phantom A refuse=4294967295\n"
                              "create-fails\n"
                              "enum-fails index=2 error=0x6f8\n"
                              "list-ends error=0",
                              "machine");
    ASSERT_EQ(parsed.error, "");
    const standin::Machine &machine = parsed.machine;
    ASSERT_EQ(machine.devices.size(), 3U);
    EXPECT_EQ(machine.devices[0].id, "COM%s\t\xe9");
    EXPECT_TRUE(machine.devices[0].present);
    EXPECT_EQ(machine.devices[0].reenumerateResult, DWORD{0x33});
    EXPECT_FALSE(machine.devices[1].id.has_value());
    EXPECT_FALSE(machine.devices[1].present);
    EXPECT_EQ(machine.devices[1].reenumerateResult, DWORD{15});
    EXPECT_EQ(machine.devices[2].reenumerateResult, DWORD{0xffffffff});
    EXPECT_EQ(machine.createError, DWORD{ERROR_INVALID_DATA});
    EXPECT_EQ(machine.enumFailIndex, DWORD{2});
    EXPECT_EQ(machine.enumFailError, DWORD{0x6f8});
    EXPECT_EQ(machine.endError, DWORD{0});
}

TEST(MachineText, NamesTheLineOfAMalformedStatement)
{
    const struct {
        const char *text;
        const char *error;
    } rows[] = {
        {"device present\n", "m:1: expected: device present|phantom IDENTIFIER|- [refuse=CODE]"},
        {"\ndevice absent X\n", "m:2: a device is present or phantom"},
        {"device present X%4\n", "m:1: bad %XX escape in the identifier"},
        {"device present X%G0\n", "m:1: bad %XX escape in the identifier"},
        {"device present X refuse=0x100000000\n", "m:1: expected refuse=CODE"},
        {"device present X refuse=12z\n", "m:1: expected refuse=CODE"},
        {"device present X fail=1\n", "m:1: expected refuse=CODE"},
        {"create-fails error=\n", "m:1: expected: create-fails [error=CODE]"},
        {"enum-fails index=1\n", "m:1: expected: enum-fails index=K error=CODE"},
        {"list-ends\n", "m:1: expected: list-ends error=CODE"},
        {"# fine\nreboot\n", "m:2: unknown statement"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(standin::ParseMachine(row.text, "m").error, row.error) << row.text;
}

} // namespace
