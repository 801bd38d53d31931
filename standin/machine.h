// The simulated machine behind the stand-in's device services: the devices of the Ports
// class in the platform's order, and the failures the platform is to show. Its text
// form is described in README.md beside this file.
#ifndef STANDIN_MACHINE_H
#define STANDIN_MACHINE_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>
#include <cfgmgr32.h>

namespace standin {

struct Device {
    std::optional<std::string> id; // none: the platform writes no identifier
    bool present = true;
    CONFIGRET reenumerateResult = CR_SUCCESS;
};

struct Machine {
    std::vector<Device> devices;
    std::optional<DWORD> createError;   // SetupDiGetClassDevsA fails with this error
    std::optional<DWORD> enumFailIndex; // SetupDiEnumDeviceInfo fails at this index...
    DWORD enumFailError = 0;            // ...with this error
    DWORD endError = ERROR_NO_MORE_ITEMS;
};

// A machine read from its description, or what is wrong with the description as
// "SOURCE:LINE: what", with the machine left incomplete.
struct ParsedMachine {
    Machine machine;
    std::string error;
};

ParsedMachine ParseMachine(std::string_view text, std::string_view source);

// The machine that STANDIN_MACHINE names, or the built-in one, read on first use. A
// description that cannot be read or parsed ends the process with status 3.
const Machine &CurrentMachine();

} // namespace standin

#endif
