// A halvern.exe built to be wrong, for testing windows-check: it runs the real one,
// halvern.exe in the folder above its own, and passes on its output and status with
// one fault, chosen when it is built (WRONG):
//   skip    the first device's lines left out
//   extra   an identifier the registry does not have, after the banner
//   status  exit status 1
//   banner  the banner's first line changed
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "windows-run.h"

int main()
{
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
    std::string &out = run.output;
    const std::string device = "Device id: ";
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
#else
#error "WRONG names no fault"
#endif
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return static_cast<int>(run.status);
}
