#include <stdio.h>

#include "reenumerate.h"

void ReenumerateDevice(DEVINST device)
{
    /* All zeros, so that a node whose identifier the platform does not write shows an
       empty one; the result of the read is not examined for that reason. */
    char deviceId[512] = {0};
    CONFIGRET result;

    CM_Get_Device_IDA(device, deviceId, sizeof deviceId, 0);
    /* The platform may fill the whole buffer without a terminating zero and still report
       success (Wine does, for an identifier longer than the buffer). The precision keeps
       the print inside the buffer. */
    printf("Device id: %.*s\n", (int)sizeof deviceId, deviceId);

    result = CM_Reenumerate_DevNode(device, CM_REENUMERATE_NORMAL);
    if (result != CR_SUCCESS)
        printf("CM_Reenumerate_DevNode failed: %x\n", (unsigned int)result);
}
