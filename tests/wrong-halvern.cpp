// A halvern.exe built to be wrong, for testing windows-check: but for canned, it runs the
// real one, halvern.exe in the folder above its own, and passes on its output and status
// with one fault, the one its own file is named after (one build, copied to each name):
//   skip.exe    the first device's lines left out
//   extra.exe   an identifier the registry does not have, after the banner
//   status.exe  exit status 1
//   banner.exe  the banner's first line changed
//   canned.exe  a fixed list, the devices of the registry case "ports" as Wine prints
//               them, whatever the machine has
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "windows-run.h"

int main()
{
    const std::string device = "Device id: ";
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string path = self;
    const std::string folder = path.substr(0, path.find_last_of('\\'));
    const std::string fault =
        path.substr(folder.size() + 1, path.find_last_of('.') - folder.size() - 1);
    windows_run::Run run;
    if (fault == "canned") {
        run.output =
            "Halvern utility: searches for new/phantom devices.\r\nVersion " HALVERN_VERSION
            ", 2026. Copyright (c) 2026 the Halvern developers, MIT License.\r\n\r\n";
        for (const char *id :
             {"ACPI\\PNP0400\\0", "ACPI\\PNP0501\\1", "ACPI\\PNP0501\\2",
              "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\7&1D24B3A9&0&"
              "000000000000_00000004",
              "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "ROOT\\PORTS\\0000",
              "USB\\VID_067B&PID_2303\\5&2C2F0E8A&0&3"})
            run.output += device + id + "\r\nCM_Reenumerate_DevNode failed: 13\r\n";
    } else if (fault == "skip" || fault == "extra" || fault == "status" || fault == "banner") {
        const std::string exe = folder.substr(0, folder.find_last_of('\\') + 1) + "halvern.exe";
        run = windows_run::Program(exe);
        if (!run.started) {
            std::printf("cannot run %s: error %lu\n", exe.c_str(), run.error);
            return 2;
        }
    } else {
        std::printf("%s names no fault: skip, extra, status, banner or canned\n", self);
        return 2;
    }
    std::string &out = run.output;
    if (fault == "skip") {
        if (const auto first = out.find(device); first != std::string::npos) {
            auto next = out.find(device, first + 1);
            out.erase(first, (next == std::string::npos ? out.size() : next) - first);
        }
    } else if (fault == "extra") {
        out.insert(out.find("\r\n\r\n") + 4, device + "ROOT\\PORTS\\9999\r\n");
    } else if (fault == "status") {
        run.status = 1;
    } else if (fault == "banner") {
        out.replace(0, out.find("\r\n"), "Halvern utility: searches for new devices.");
    }
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return static_cast<int>(run.status);
}
