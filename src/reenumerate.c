#include <stdio.h>

#include "reenumerate.h"

void ReenumerateDevice(DEVINST device)
{
    /* All zeros, so that a node whose identifier the platform does not write shows an
       empty one; the result of the read is not examined for that reason. The platform
       is told of 512 bytes and may fill every one without a terminating zero while
       reporting success (Wine does, for an identifier longer than the buffer): the
       byte past them stays zero and ends the string. */
    char deviceId[512 + 1] = {0};
    CONFIGRET result;

    CM_Get_Device_IDA(device, deviceId, sizeof deviceId - 1, 0);
    printf("Device id: %s\n", deviceId);

    result = CM_Reenumerate_DevNode(device, CM_REENUMERATE_NORMAL);
    if (result != CR_SUCCESS)
        printf("CM_Reenumerate_DevNode failed: %x\n", (unsigned int)result);
}
