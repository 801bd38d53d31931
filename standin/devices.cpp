// The stand-in's device services: the five calls halvern makes, answered from the
// simulated machine (machine.h), with the platform's refusals, and a log of every call
// in the file that STANDIN_CALLS names. The behaviour and the log's form are described
// in README.md beside this file.
//
// Built into the host tool on Linux, and as setupapi.dll for running the Windows build
// under Wine; the same code behind the platform's own declarations in both.

// Defining, not importing, the calls the platform headers declare: the platform's own
// switches for that, reserved names or not.
#define _SETUPAPI_ // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#define _CFGMGR32_ // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "machine.h"

namespace {

using standin::CurrentMachine;
using standin::Device;

constexpr GUID portsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// One set at a time is enough for halvern. Its members are indices into the machine's
// device list; a device's node handle is its distance from the end of the list, so that
// handles and member indices differ and node 0 is a real one.
struct DeviceSet {
    bool open = false;
    std::vector<size_t> members;
} set; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables): the platform's state

// The set's handle has a non-zero low byte, as the stack's leftovers below are non-zero:
// the ARM64 tool keeps the handle in a register that its next call saves right past
// that call's locals, where a string without its terminator would run on into it.
struct alignas(256) HandleSpace {
    unsigned char bytes[256];
} handleSpace; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables): its address only

HDEVINFO SetHandle()
{
    return static_cast<HDEVINFO>(&handleSpace.bytes[0xa5]);
}

const Device *FindNode(DEVINST node)
{
    const std::vector<Device> &devices = CurrentMachine().devices;
    return node < devices.size() ? &devices[devices.size() - 1 - node] : nullptr;
}

// The platform's calls leave their own data behind on the stack. The calls the tool
// makes from main fill their own frame with non-zero bytes just before they return:
// the frame of the tool's next call from the same place lies over it, so a buffer
// there that the tool does not fully write shows these bytes instead of zeros that
// happened to be left. Inlined, so that the bytes land in the exported call's own
// frame, up to its saved registers, and not in a deeper one; through a pointer the
// compiler cannot see into, so that the fill is not dropped as a store to a dead
// array.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): volatile on purpose
void *(*volatile fill)(void *, int, size_t) = std::memset;

[[gnu::always_inline]] inline void LeaveStackDirty()
{
    unsigned char junk[1024];
    fill(junk, 0xa5, sizeof junk);
}

// The call log, opened on first use and flushed line by line, so that it is whole
// however the process ends.
struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

FILE *CallLog()
{
    static const std::unique_ptr<FILE, FileCloser> log = []() -> std::unique_ptr<FILE, FileCloser> {
        const char *path = std::getenv("STANDIN_CALLS");
        if (path == nullptr || *path == '\0')
            return nullptr;
        FILE *file = std::fopen(path, "wb");
        if (file == nullptr) {
            std::fprintf(stderr, "standin: cannot write %s\n", path);
            std::exit(3);
        }
        return std::unique_ptr<FILE, FileCloser>(file);
    }();
    return log.get();
}

struct Hex {
    unsigned long value;
};

// One line of the call log, written when the call returns. It begins with how far the
// tool's standard output had got when the call was made: ftell counts the bytes still
// in stdout's buffer without flushing them, so the log ties every call to the output
// printed before it.
class LoggedCall {
public:
    explicit LoggedCall(std::string_view name) : log_(CallLog())
    {
        if (log_ == nullptr)
            return;
        const long position = std::ftell(stdout);
        line_ =
            position < 0 ? "[stdout unpositioned] " : "[stdout " + std::to_string(position) + "] ";
        line_ += name;
    }
    LoggedCall(const LoggedCall &) = delete;
    LoggedCall(LoggedCall &&) = delete;
    LoggedCall &operator=(const LoggedCall &) = delete;
    LoggedCall &operator=(LoggedCall &&) = delete;
    ~LoggedCall()
    {
        if (log_ == nullptr)
            return;
        line_ += '\n';
        std::fwrite(line_.data(), 1, line_.size(), log_);
        std::fflush(log_);
    }

    LoggedCall &operator<<(std::string_view text)
    {
        if (log_ != nullptr)
            line_ += text;
        return *this;
    }
    LoggedCall &operator<<(unsigned long number)
    {
        if (log_ != nullptr)
            line_ += std::to_string(number);
        return *this;
    }
    LoggedCall &operator<<(Hex number)
    {
        if (log_ != nullptr) {
            char text[16];
            std::snprintf(text, sizeof text, "0x%lx", number.value);
            line_ += text;
        }
        return *this;
    }

private:
    FILE *log_;
    std::string line_;
};

std::string_view SetName(HDEVINFO handle)
{
    if (handle == SetHandle())
        return set.open ? "set" : "closed-set";
    return handle == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "unknown-handle";
}

std::string FormatGuid(const GUID &guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

[[gnu::noinline]] HDEVINFO GetClassDevs(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                        DWORD Flags)
{
    const standin::Machine &machine = CurrentMachine();
    LoggedCall call("SetupDiGetClassDevsA");
    call << "(class=" << (ClassGuid != nullptr ? FormatGuid(*ClassGuid) : "NULL")
         << ", enumerator=" << (Enumerator != nullptr ? Enumerator : "NULL")
         << ", parent=" << (hwndParent != nullptr ? "window" : "NULL") << ", flags=" << Hex{Flags}
         << ")";

    const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    DWORD error = ERROR_SUCCESS;
    // Interfaces and enumerators are not simulated.
    if ((ClassGuid == nullptr && !allClasses) || (Flags & DIGCF_DEVICEINTERFACE) != 0 ||
        Enumerator != nullptr)
        error = ERROR_INVALID_PARAMETER;
    else if (machine.createError)
        error = *machine.createError;
    else if (set.open)
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != ERROR_SUCCESS) {
        call << " = INVALID_HANDLE_VALUE, error " << Hex{error};
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    // Every device here is of the Ports class; any other class is empty.
    set.members.clear();
    if (allClasses || std::memcmp(ClassGuid, &portsClass, sizeof portsClass) == 0) {
        for (size_t i = 0; i < machine.devices.size(); i++)
            if (machine.devices[i].present || (Flags & DIGCF_PRESENT) == 0)
                set.members.push_back(i);
    }
    set.open = true;
    call << " = set";
    SetLastError(ERROR_SUCCESS);
    return SetHandle();
}

[[gnu::noinline]] BOOL EnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    const standin::Machine &machine = CurrentMachine();
    LoggedCall call("SetupDiEnumDeviceInfo");
    call << "(" << SetName(DeviceInfoSet) << ", index=" << MemberIndex << ", ";
    if (DeviceInfoData == nullptr)
        call << "record=NULL)";
    else if (DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA))
        call << "cbSize=ok)";
    else
        call << "cbSize=" << DeviceInfoData->cbSize << ")";

    DWORD error = ERROR_SUCCESS;
    if (DeviceInfoSet != SetHandle() || !set.open)
        error = ERROR_INVALID_HANDLE;
    else if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        error = ERROR_INVALID_USER_BUFFER;
    else if (machine.enumFailIndex == MemberIndex)
        error = machine.enumFailError;
    else if (MemberIndex >= set.members.size())
        error = machine.endError;
    // A list may end with no error at all: past the end there is no member either way.
    if (error != ERROR_SUCCESS || MemberIndex >= set.members.size()) {
        call << " = FALSE, error " << Hex{error};
        SetLastError(error);
        return FALSE;
    }

    const auto node = static_cast<DEVINST>(machine.devices.size() - 1 - set.members[MemberIndex]);
    DeviceInfoData->ClassGuid = portsClass;
    DeviceInfoData->DevInst = node;
    DeviceInfoData->Reserved = ULONG_PTR{MemberIndex} + 1;
    call << " = TRUE, node=" << node;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags)
{
    HDEVINFO result = GetClassDevs(ClassGuid, Enumerator, hwndParent, Flags);
    LeaveStackDirty();
    return result;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData)
{
    const BOOL result = EnumDeviceInfo(DeviceInfoSet, MemberIndex, DeviceInfoData);
    LeaveStackDirty();
    return result;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    LoggedCall call("SetupDiDestroyDeviceInfoList");
    call << "(" << SetName(DeviceInfoSet) << ")";
    if (DeviceInfoSet != SetHandle() || !set.open) {
        call << " = FALSE, error " << Hex{ERROR_INVALID_HANDLE};
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    set.members.clear();
    set.open = false;
    call << " = TRUE";
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    const Device *device = FindNode(dnDevInst);
    LoggedCall call("CM_Get_Device_IDA");
    call << "(node=" << dnDevInst << ", length=" << BufferLen << ", flags=" << Hex{ulFlags} << ")";

    CONFIGRET result = CR_SUCCESS;
    if (Buffer == nullptr)
        result = CR_INVALID_POINTER;
    else if (ulFlags != 0)
        result = CR_INVALID_FLAG;
    else if (device == nullptr)
        result = CR_INVALID_DEVNODE;
    else if (!device->id)
        result = CR_NO_SUCH_DEVNODE; // and the buffer is left as it was
    else if (device->id->size() < BufferLen)
        std::memcpy(Buffer, device->id->c_str(), device->id->size() + 1);
    else
        // Like Wine: a buffer that is too short is filled to the last byte, with no
        // terminating zero, and the call still succeeds.
        std::memcpy(Buffer, device->id->data(), BufferLen);
    call << " = " << Hex{result};
    return result;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    const Device *device = FindNode(dnDevInst);
    LoggedCall call("CM_Reenumerate_DevNode");
    call << "(node=" << dnDevInst << ", flags=" << Hex{ulFlags} << ")";

    CONFIGRET result = CR_SUCCESS;
    if ((ulFlags & ~ULONG{CM_REENUMERATE_BITS}) != 0)
        result = CR_INVALID_FLAG;
    else if (device == nullptr)
        result = CR_INVALID_DEVNODE;
    else
        result = device->reenumerateResult;
    call << " = " << Hex{result};
    return result;
}
