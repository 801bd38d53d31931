/*
 * The stand-in's device services: a simulated machine whose Ports class halvern walks.
 * The machine comes from the file that STANDIN_MACHINE names, or is the built-in one;
 * every call is written to the file that STANDIN_CALLS names. The format of both is
 * in README.md beside this file.
 *
 * Built into the host tool on Linux, and as setupapi.dll for running the Windows
 * build under Wine; the same code behind the platform's own declarations in both.
 */
#define _SETUPAPI_
#define _CFGMGR32_

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

struct device {
    const char *id;      /* NULL: the platform writes no identifier */
    size_t idLength;
    BOOL present;
    CONFIGRET reenumerateResult;
};

static struct {
    BOOL loaded;
    char *text; /* the description; identifiers point into it */
    struct device *devices;
    DWORD deviceCount;
    BOOL createFails;
    DWORD createError;
    BOOL enumFails;
    DWORD enumFailIndex;
    DWORD enumFailError;
    DWORD endError;
} machine;

/* One set at a time is enough for halvern. Its members are indices into the machine's
   device list; a device's node handle is its distance from the end of the list, so that
   handles and member indices differ and node 0 is a real one. */
static struct {
    BOOL open;
    DWORD *members;
    DWORD memberCount;
} set;

static const GUID portsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static const char defaultMachine[] =
    "# A desktop with two serial ports and a printer port on the mainboard, the traces\n"
    "# of two USB serial adapters and a Bluetooth serial link whose request is refused.\n"
    "device present ACPI\\PNP0501\\1\n"
    "device present ACPI\\PNP0501\\2\n"
    "device present ACPI\\PNP0400\\0\n"
    "device phantom FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\n"
    "device phantom USB\\VID_067B&PID_2303\\5&2C2F0E8A&0&3\n"
    "device present BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\"
    "7&1D24B3A9&0&000000000000_00000004 refuse=0x13\n";

static FILE *callLog;
static BOOL callLogOpened;

static void logCall(const char *format, ...)
{
    va_list args;
    const char *path;

    if (!callLogOpened) {
        callLogOpened = TRUE;
        path = getenv("STANDIN_CALLS");
        if (path != NULL && *path != '\0') {
            callLog = fopen(path, "wb");
            if (callLog == NULL) {
                fprintf(stderr, "standin: cannot write %s\n", path);
                exit(3);
            }
        }
    }
    if (callLog == NULL)
        return;
    va_start(args, format);
    vfprintf(callLog, format, args);
    va_end(args);
    /* Flushed line by line, so the log is whole however the process ends. */
    fflush(callLog);
}

static void machineError(const char *source, unsigned line, const char *what)
{
    fprintf(stderr, "standin: %s:%u: %s\n", source, line, what);
    exit(3);
}

/* Reads "key=number" (any base strtoul takes) from a token. */
static BOOL parseNumber(const char *token, const char *key, DWORD *value)
{
    size_t keyLength = strlen(key);
    char *end;
    unsigned long number;

    if (strncmp(token, key, keyLength) != 0 || token[keyLength] != '=')
        return FALSE;
    number = strtoul(token + keyLength + 1, &end, 0);
    if (end == token + keyLength + 1 || *end != '\0' || number > 0xffffffffUL)
        return FALSE;
    *value = (DWORD)number;
    return TRUE;
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (char)tolower((unsigned char)c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

/* Decodes %XX escapes in place; returns the decoded length, or -1 for a bad escape. */
static long decodeIdentifier(char *id)
{
    char *in = id, *out = id;

    while (*in != '\0') {
        if (*in == '%') {
            int high = hexDigit(in[1]), low = high < 0 ? -1 : hexDigit(in[2]);
            if (low < 0)
                return -1;
            *out++ = (char)(high * 16 + low);
            in += 3;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
    return (long)(out - id);
}

static void parseDevice(char **tokens, int tokenCount, const char *source, unsigned line)
{
    struct device device = {NULL, 0, FALSE, CR_SUCCESS};
    struct device *grown;
    long length;

    if (tokenCount < 3 || tokenCount > 4)
        machineError(source, line, "expected: device present|phantom IDENTIFIER|- [refuse=CODE]");
    if (strcmp(tokens[1], "present") == 0)
        device.present = TRUE;
    else if (strcmp(tokens[1], "phantom") != 0)
        machineError(source, line, "a device is present or phantom");
    if (strcmp(tokens[2], "-") != 0) {
        length = decodeIdentifier(tokens[2]);
        if (length < 0)
            machineError(source, line, "bad %XX escape in the identifier");
        device.id = tokens[2];
        device.idLength = (size_t)length;
    }
    if (tokenCount == 4 && !parseNumber(tokens[3], "refuse", &device.reenumerateResult))
        machineError(source, line, "expected refuse=CODE");

    if ((machine.deviceCount & (machine.deviceCount - 1)) == 0) {
        grown = realloc(machine.devices,
                        sizeof *grown * (machine.deviceCount ? machine.deviceCount * 2 : 1));
        if (grown == NULL)
            machineError(source, line, "out of memory");
        machine.devices = grown;
    }
    machine.devices[machine.deviceCount++] = device;
}

/* Parses a machine description in place; identifiers keep pointing into the text. */
static void parseMachine(char *text, const char *source)
{
    unsigned line = 0;
    char *next = text;

    while (next != NULL && *next != '\0') {
        char *start = next, *tokens[5];
        int tokenCount = 0;
        char *token;

        line++;
        next = strchr(start, '\n');
        if (next != NULL)
            *next++ = '\0';
        if (start[strspn(start, " \t")] == '#')
            continue;
        for (token = strtok(start, " \t\r"); token != NULL; token = strtok(NULL, " \t\r")) {
            if (tokenCount == 5)
                machineError(source, line, "too many words");
            tokens[tokenCount++] = token;
        }
        if (tokenCount == 0)
            continue;

        if (strcmp(tokens[0], "device") == 0) {
            parseDevice(tokens, tokenCount, source, line);
        } else if (strcmp(tokens[0], "create-fails") == 0) {
            machine.createFails = TRUE;
            if (tokenCount > 2 || (tokenCount == 2 && !parseNumber(tokens[1], "error", &machine.createError)))
                machineError(source, line, "expected: create-fails [error=CODE]");
        } else if (strcmp(tokens[0], "enum-fails") == 0) {
            machine.enumFails = TRUE;
            if (tokenCount != 3 || !parseNumber(tokens[1], "index", &machine.enumFailIndex) ||
                !parseNumber(tokens[2], "error", &machine.enumFailError))
                machineError(source, line, "expected: enum-fails index=K error=CODE");
        } else if (strcmp(tokens[0], "list-ends") == 0) {
            if (tokenCount != 2 || !parseNumber(tokens[1], "error", &machine.endError))
                machineError(source, line, "expected: list-ends error=CODE");
        } else {
            machineError(source, line, "unknown statement");
        }
    }
}

static char *readWholeFile(const char *path)
{
    FILE *file = fopen(path, "rb");
    char *text = NULL;
    size_t length = 0, capacity = 0, got;

    if (file == NULL)
        machineError(path, 0, "cannot open");
    do {
        if (capacity - length < 4096) {
            capacity = capacity ? capacity * 2 : 65536;
            text = realloc(text, capacity + 1);
            if (text == NULL)
                machineError(path, 0, "out of memory");
        }
        got = fread(text + length, 1, capacity - length, file);
        length += got;
    } while (got > 0);
    fclose(file);
    text[length] = '\0';
    return text;
}

static void loadMachine(void)
{
    static char builtIn[sizeof defaultMachine];
    const char *path;

    if (machine.loaded)
        return;
    machine.loaded = TRUE;
    machine.createError = ERROR_INVALID_DATA;
    machine.endError = ERROR_NO_MORE_ITEMS;

    path = getenv("STANDIN_MACHINE");
    if (path != NULL && *path != '\0') {
        machine.text = readWholeFile(path);
        parseMachine(machine.text, path);
    } else {
        memcpy(builtIn, defaultMachine, sizeof defaultMachine);
        parseMachine(builtIn, "built-in machine");
    }
}

static const char *setName(HDEVINFO handle)
{
    if (handle == (HDEVINFO)&set)
        return set.open ? "set" : "closed-set";
    return handle == INVALID_HANDLE_VALUE ? "INVALID_HANDLE_VALUE" : "unknown-handle";
}

static void formatGuid(char *text, const GUID *guid)
{
    sprintf(text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
            (unsigned long)guid->Data1, guid->Data2, guid->Data3, guid->Data4[0],
            guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
            guid->Data4[6], guid->Data4[7]);
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags)
{
    char classText[40] = "NULL";
    BOOL allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    DWORD error = ERROR_SUCCESS, i;

    loadMachine();
    if (ClassGuid != NULL)
        formatGuid(classText, ClassGuid);
    logCall("SetupDiGetClassDevsA(class=%s, enumerator=%s, parent=%s, flags=0x%lx)", classText,
            Enumerator ? Enumerator : "NULL", hwndParent ? "window" : "NULL", (unsigned long)Flags);

    if (ClassGuid == NULL && !allClasses)
        error = ERROR_INVALID_PARAMETER;
    else if (Flags & DIGCF_DEVICEINTERFACE || Enumerator != NULL)
        error = ERROR_INVALID_PARAMETER; /* not simulated */
    else if (machine.createFails)
        error = machine.createError;
    else if (set.open)
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != ERROR_SUCCESS) {
        logCall(" = INVALID_HANDLE_VALUE, error 0x%lx\n", (unsigned long)error);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }

    /* Every device here is of the Ports class; any other class is empty. */
    set.memberCount = 0;
    set.members = malloc(sizeof *set.members * (machine.deviceCount + 1));
    if (set.members == NULL)
        machineError("SetupDiGetClassDevsA", 0, "out of memory");
    if (allClasses || memcmp(ClassGuid, &portsClass, sizeof portsClass) == 0) {
        for (i = 0; i < machine.deviceCount; i++)
            if (machine.devices[i].present || !(Flags & DIGCF_PRESENT))
                set.members[set.memberCount++] = i;
    }
    set.open = TRUE;
    logCall(" = set\n");
    SetLastError(ERROR_SUCCESS);
    return (HDEVINFO)&set;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData)
{
    DWORD error = ERROR_SUCCESS, node;

    loadMachine();
    logCall("SetupDiEnumDeviceInfo(%s, index=%lu, ", setName(DeviceInfoSet),
            (unsigned long)MemberIndex);
    if (DeviceInfoData == NULL)
        logCall("record=NULL)");
    else if (DeviceInfoData->cbSize == sizeof(SP_DEVINFO_DATA))
        logCall("cbSize=ok)");
    else
        logCall("cbSize=%lu)", (unsigned long)DeviceInfoData->cbSize);

    if (DeviceInfoSet != (HDEVINFO)&set || !set.open)
        error = ERROR_INVALID_HANDLE;
    else if (DeviceInfoData == NULL || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        error = ERROR_INVALID_USER_BUFFER;
    else if (machine.enumFails && MemberIndex == machine.enumFailIndex)
        error = machine.enumFailError;
    else if (MemberIndex >= set.memberCount)
        error = machine.endError;
    if (error != ERROR_SUCCESS || MemberIndex >= set.memberCount) {
        logCall(" = FALSE, error 0x%lx\n", (unsigned long)error);
        SetLastError(error);
        return FALSE;
    }

    node = machine.deviceCount - 1 - set.members[MemberIndex];
    DeviceInfoData->ClassGuid = portsClass;
    DeviceInfoData->DevInst = node;
    DeviceInfoData->Reserved = (ULONG_PTR)MemberIndex + 1;
    logCall(" = TRUE, node=%lu\n", (unsigned long)node);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    loadMachine();
    logCall("SetupDiDestroyDeviceInfoList(%s)", setName(DeviceInfoSet));
    if (DeviceInfoSet != (HDEVINFO)&set || !set.open) {
        logCall(" = FALSE, error 0x%lx\n", (unsigned long)ERROR_INVALID_HANDLE);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    free(set.members);
    set.members = NULL;
    set.open = FALSE;
    logCall(" = TRUE\n");
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

/* Node handles run from 0 to deviceCount - 1; see the set above. */
static struct device *findNode(DEVINST node)
{
    return node < machine.deviceCount ? &machine.devices[machine.deviceCount - 1 - node] : NULL;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    struct device *device;
    CONFIGRET result = CR_SUCCESS;

    loadMachine();
    device = findNode(dnDevInst);
    if (Buffer == NULL)
        result = CR_INVALID_POINTER;
    else if (ulFlags != 0)
        result = CR_INVALID_FLAG;
    else if (device == NULL)
        result = CR_INVALID_DEVNODE;
    else if (device->id == NULL)
        result = CR_NO_SUCH_DEVNODE;
    else if (device->idLength < BufferLen)
        memcpy(Buffer, device->id, device->idLength + 1);
    else
        /* Like Wine: a buffer that is too short is filled to the last byte, with no
           terminating zero, and the call still succeeds. */
        memcpy(Buffer, device->id, BufferLen);
    logCall("CM_Get_Device_IDA(node=%lu, length=%lu, flags=0x%lx) = 0x%lx\n",
            (unsigned long)dnDevInst, (unsigned long)BufferLen, (unsigned long)ulFlags,
            (unsigned long)result);
    return result;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    struct device *device;
    CONFIGRET result;

    loadMachine();
    device = findNode(dnDevInst);
    if (ulFlags & ~(ULONG)CM_REENUMERATE_BITS)
        result = CR_INVALID_FLAG;
    else if (device == NULL)
        result = CR_INVALID_DEVNODE;
    else
        result = device->reenumerateResult;
    logCall("CM_Reenumerate_DevNode(node=%lu, flags=0x%lx) = 0x%lx\n", (unsigned long)dnDevInst,
            (unsigned long)ulFlags, (unsigned long)result);
    return result;
}
