// The per-device step of halvern: one device node's identifier, and its re-enumeration.
#ifndef HALVERN_REENUMERATE_H
#define HALVERN_REENUMERATE_H

#include <windows.h>
#include <cfgmgr32.h>

// Prints the node's device instance identifier, asks the Plug and Play manager to
// re-enumerate the node and reports a refusal. Nothing goes back to the caller: one
// device's trouble never stops the walk.
void ReenumerateDevice(DEVINST device);

#endif
