// A halvern.exe built to be wrong, for testing windows-check: but for canned, it runs the
// real one, halvern.exe in the folder above its own, and passes on its output and status
// with one fault, chosen when it is built (WRONG):
//   skip    the first device's lines left out
//   extra   an identifier the registry does not have, after the banner
//   status  exit status 1
//   banner  the banner's first line changed
//   canned  a fixed list, the devices of the registry case "ports" as Wine prints them,
//           whatever the machine has
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "windows-run.h"

int main()
{
    const std::string device = "Device id: ";
#if WRONG_canned
    windows_run::Run run;
    run.output = "Halvern utility: searches for new/phantom devices.\r\nVersion " HALVERN_VERSION
                 ", 2026. Copyright (c) 2026 the Halvern developers, MIT License.\r\n\r\n";
    for (const char *id :
         {"ACPI\\PNP0400\\0", "ACPI\\PNP0501\\1", "ACPI\\PNP0501\\2",
          "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1D24B3A9&0&"
          "000000000000_00000004",
          "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "ROOT\\PORTS\\0000",
          "USB\\VID_067B&PID_2303\\5&2C2F0E8A&0&3"})
        run.output += device + id + "\r\nCM_Reenumerate_DevNode failed: 13\r\n";
#else
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string exe = self;
    exe = exe.substr(0, exe.find_last_of('\\'));
    exe = exe.substr(0, exe.find_last_of('\\') + 1) + "halvern.exe";
    auto run = windows_run::Program(exe);
    if (!run.started) {
        std::printf("cannot run %s: error %lu\n", exe.c_str(), run.error);
        return 2;
    }
#endif
    std::string &out = run.output;
#if WRONG_skip
    if (const auto first = out.find(device); first != std::string::npos) {
        auto next = out.find(device, first + 1);
        out.erase(first, (next == std::string::npos ? out.size() : next) - first);
    }
#elif WRONG_extra
    out.insert(out.find("\r\n\r\n") + 4, device + "ROOT\\PORTS\\9999\r\n");
#elif WRONG_status
    run.status = 1;
#elif WRONG_banner
    out.replace(0, out.find("\r\n"), "Halvern utility: searches for new devices.");
#elif !WRONG_canned
#error "WRONG names no fault"
#endif
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return static_cast<int>(run.status);
}
