#include <stdio.h>

#include "reenumerate.h"

// What the platform is told the identifier buffer holds.
static constexpr ULONG deviceIdLength = 512;

void ReenumerateDevice(DEVINST device)
{
    // All zeros, so that a node whose identifier the platform does not write shows an
    // empty one; the result of the read is not examined for that reason. The platform
    // may fill all 512 bytes without a terminating zero while reporting success (Wine
    // does, for an identifier longer than the buffer): the byte past them stays zero
    // and ends the string.
    char deviceId[deviceIdLength + 1] = {};

    CM_Get_Device_IDA(device, deviceId, deviceIdLength, 0);
    printf("Device id: %s\n", deviceId);

    const CONFIGRET result = CM_Reenumerate_DevNode(device, CM_REENUMERATE_NORMAL);
    if (result != CR_SUCCESS)
        printf("CM_Reenumerate_DevNode failed: %x\n", static_cast<unsigned int>(result));
}
