// windows-check: judges runs of a halvern.exe on the machine it runs on, against a list
// that does not come from the Setup API: the registry's own record of the devices in the
// Ports class, every instance under HKLM\SYSTEM\CurrentControlSet\Enum whose ClassGUID
// is the class's, present or not.
//
// usage: windows-check HALVERN.EXE   run it, compare, report; exit 1 on any mismatch
//        windows-check --list        print the registry's list of the class, and exit
//
// Refused requests are reported, not judged: whether the Plug and Play manager accepts
// one is the platform's answer. So that every machine has devices to walk, the check
// plants two of its own first, one present and one a phantom, and removes them at the
// end; that needs administrator rights. Both must be printed. On Windows, the native
// exe's request for the present one must be accepted, and unelevated, refused with 33.
// What a step could not show is raised as a GitHub annotation on Windows, and each
// check adds a row to the job's summary where GITHUB_STEP_SUMMARY names one.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "windows-registry.h"
#include "windows-run.h"

namespace {

using windows_registry::Folded;
using windows_registry::Key;
using windows_registry::portsClass;
using windows_registry::PortsInRegistry;
using windows_registry::Record;

constexpr const char *deviceLine = "Device id: ";
constexpr const char *refusalLine = "CM_Reenumerate_DevNode failed: ";

int List()
{
    int unread = 0;
    const auto devices = PortsInRegistry(unread);
    std::printf("%zu devices of the Ports class %s on record in the registry:\n", devices.size(),
                portsClass);
    for (const auto &[folded, recorded] : devices)
        std::printf("    %s%s\n", recorded.device.c_str(),
                    recorded.required ? "" : " (private to the process that made it)");
    return 0; // for the log only: a key it could not read is named above
}

// What a run printed for one device: the identifier as printed, and the code of the
// refusal printed right below it, if there was one.
struct Answer {
    std::string device;
    std::optional<std::string> refusal;
};

// How a run answered a device's request, or "not shown" where it printed no such device.
std::string Said(const Answer *answer)
{
    if (answer == nullptr)
        return "not shown";
    return answer->refusal ? "refused with " + *answer->refusal : std::string("accepted");
}

std::size_t Refused(const std::map<std::string, Answer> &answers)
{
    std::size_t refused = 0;
    for (const auto &[folded, answer] : answers)
        refused += answer.refusal ? 1 : 0;
    return refused;
}

// Judges one run against the registry's list (folded identifier: as the registry has
// it): the banner exact, every other line a Device id line or one refusal right below
// one, every line ended by CR LF, the devices those on record, none twice, and exit
// status 0. Each fault is a mismatch; the answer to each device's request is returned.
std::map<std::string, Answer> Judge(const windows_run::Run &run, const Record &expected,
                                    const std::function<void(const std::string &)> &mismatch)
{
    // Every line ends in CR LF, the last one included.
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = 0; (end = run.output.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (end == start || run.output[end - 1] != '\r')
            mismatch("line " + std::to_string(lines.size() + 1) + " does not end in CR LF");
        lines.push_back(run.output.substr(start, end - start - (end > start ? 1 : 0)));
    }
    if (start != run.output.size())
        mismatch("the output does not end with a line end");

    const std::vector<std::string> banner = {
        "Halvern utility: searches for new/phantom devices.",
        "Version " HALVERN_VERSION
        ", 2026. Copyright (c) 2026 the Halvern developers, MIT License.",
        ""};
    for (std::size_t i = 0; i < banner.size(); i++) {
        if (i >= lines.size() || lines[i] != banner[i])
            mismatch("banner line " + std::to_string(i + 1) + " is \"" +
                     (i < lines.size() ? lines[i] : std::string("(missing)")) + "\", expected \"" +
                     banner[i] + "\"");
    }

    std::map<std::string, Answer> printed; // by folded identifier
    Answer *last = nullptr;                // the device of the line just before, if any
    for (std::size_t i = banner.size(); i < lines.size(); i++) {
        const std::string &line = lines[i];
        if (line.rfind(deviceLine, 0) == 0) {
            const std::string device = line.substr(std::string(deviceLine).size());
            const auto [entry, added] = printed.emplace(Folded(device), Answer{device, {}});
            if (!added)
                mismatch("printed twice: " + device);
            last = added ? &entry->second : nullptr;
        } else if (line.rfind(refusalLine, 0) == 0 && last != nullptr && !last->refusal) {
            last->refusal = line.substr(std::string(refusalLine).size());
        } else {
            mismatch("line " + std::to_string(i + 1) +
                     " is neither a Device id line nor one refusal right below one: \"" + line +
                     "\"");
            last = nullptr;
        }
    }

    for (const auto &[folded, recorded] : expected) {
        if (recorded.required && printed.count(folded) == 0)
            mismatch("on record in the registry but not printed: " + recorded.device);
    }
    for (const auto &[folded, answer] : printed) {
        if (expected.count(folded) == 0)
            mismatch("printed but not on record in the registry: " + answer.device);
    }
    if (run.status != 0)
        mismatch("exit status " + std::to_string(static_cast<long>(run.status)) + ", expected 0");

    const std::size_t refused = Refused(printed);
    std::printf("devices printed: %zu; requests accepted: %zu, refused: %zu\n", printed.size(),
                printed.size() - refused, refused);
    for (const auto &[folded, answer] : printed) {
        if (answer.refusal)
            std::printf("    refused: %s (%s)\n", answer.device.c_str(), answer.refusal->c_str());
    }
    return printed;
}

// A device of the Ports class of the check's own, root-enumerated and driverless, so that
// every machine has one for the exe to walk. Present: registered with DIF_REGISTERDEVICE,
// which puts it in the device tree. Phantom: never registered; the node
// SetupDiCreateDeviceInfoA makes (CM_CREATE_DEVINST_PHANTOM) is on record but not in the
// tree. Both need administrator rights, and both are gone when this ends, on every path.
struct PlantedDevice {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
    std::string id;
    bool present;
    bool made = false;

    explicit PlantedDevice(bool presentOne) : present(presentOne)
    {
        const GUID ports = {
            0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
        static constexpr char hardwareId[] = "HALVERN_CHECK\0"; // a REG_MULTI_SZ
        char instance[MAX_DEVICE_ID_LEN] = {};
        const char *failed = nullptr;
        auto call = [&failed](const char *name, bool succeeded) {
            failed = succeeded ? nullptr : name;
            return succeeded;
        };
        made = call("SetupDiCreateDeviceInfoList",
                    (set = SetupDiCreateDeviceInfoList(&ports, nullptr)) != INVALID_HANDLE_VALUE) &&
               call("SetupDiCreateDeviceInfoA",
                    SetupDiCreateDeviceInfoA(set, "HALVERN_CHECK", &ports, nullptr, nullptr,
                                             DICD_GENERATE_ID, &data)) &&
               call("SetupDiGetDeviceInstanceIdA",
                    SetupDiGetDeviceInstanceIdA(set, &data, instance, sizeof instance, nullptr)) &&
               call("SetupDiSetDeviceRegistryPropertyA(SPDRP_HARDWAREID)",
                    SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID,
                                                      reinterpret_cast<const BYTE *>(hardwareId),
                                                      sizeof hardwareId)) &&
               (!present || call("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)",
                                 SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)));
        const DWORD error = made ? 0 : GetLastError();
        id = instance;
        if (made)
            std::printf("planted %s, with no driver, %s\n", id.c_str(),
                        present ? "registered" : "never registered: a phantom");
        else
            std::printf("FAIL: could not plant a device: %s: error 0x%lx\n", failed, error);
    }
    PlantedDevice(const PlantedDevice &) = delete;
    PlantedDevice &operator=(const PlantedDevice &) = delete;
    ~PlantedDevice() { Remove(); }

    // The present one with DIF_REMOVE; the phantom by the platform's own clean-up of an
    // element never registered, when its set is destroyed. Then a look in the registry:
    // true if no key of the device is left.
    bool Remove()
    {
        if (set == INVALID_HANDLE_VALUE)
            return true;
        const bool removed = !made || !present || SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
        const DWORD error = removed ? 0 : GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        set = INVALID_HANDLE_VALUE;
        if (!made)
            return true;
        const Key left(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\" + id);
        if (removed && left.Error() == ERROR_FILE_NOT_FOUND) {
            std::printf("removed %s: no key of it left in the registry\n", id.c_str());
            return true;
        }
        std::printf("FAIL: %s not removed: %s: error 0x%lx; its key: error %ld\n", id.c_str(),
                    present ? "DIF_REMOVE" : "SetupDiDestroyDeviceInfoList", error, left.Error());
        return false;
    }
};

// One row of the job's summary (GitHub's GITHUB_STEP_SUMMARY, a Markdown file) for the
// exe checked, under the table's head if the file is still empty; nothing without it.
void AddSummaryRow(const std::vector<std::string> &cells)
{
    const char *path = std::getenv("GITHUB_STEP_SUMMARY");
    if (path == nullptr || *path == '\0')
        return;
    std::FILE *summary = std::fopen(path, "ab");
    if (summary == nullptr) {
        std::printf("summary: cannot open %s\n", path);
        return;
    }
    std::fseek(summary, 0, SEEK_END);
    if (std::ftell(summary) == 0)
        std::fputs(
            "| runner | exe | run | devices printed | accepted | refused | planted device "
            "| phantom | unelevated | verdict |\n|---|---|---|---|---|---|---|---|---|---|\n",
            summary);
    for (const auto &cell : cells)
        std::fprintf(summary, "| %s ", cell.c_str());
    std::fputs("|\n", summary);
    std::fclose(summary);
}

int Check(const std::string &exe)
{
    int mismatches = 0;
    auto mismatch = [&mismatches](const std::string &what) {
        std::printf("mismatch: %s\n", what.c_str());
        mismatches++;
    };
    bool failed = false; // the check could not do its part; said where it happened

    // Wine's ntdll exports wine_get_version; Windows's does not.
    const auto wineVersion = reinterpret_cast<const char *(*)()>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")));
    const bool wine = wineVersion != nullptr;
    const std::string platform = wine ? std::string("Wine ") + wineVersion() : "Windows";
    std::printf("platform: %s\n", platform.c_str());
    // Every step that could not show what it is for says so through this. On Windows that
    // is raised as a GitHub annotation too, so that a green run does not hide it; what
    // Wine cannot show is known, and the tests hold it.
    auto unshown = [&](const std::string &line) {
        std::printf("%s\n", line.c_str());
        if (!wine)
            std::printf("::warning::%s: %s\n", exe.c_str(), line.c_str());
    };
    const bool emulated = windows_run::Emulated(exe);
    PlantedDevice planted(true);
    PlantedDevice phantom(false);
    if (!planted.made || !phantom.made)
        return 1;

    // On record but not in the device tree: CM_Locate_DevNodeA finds it only when asked
    // for phantoms too.
    DEVINST found = 0;
    const CONFIGRET present =
        CM_Locate_DevNodeA(&found, phantom.id.data(), CM_LOCATE_DEVNODE_NORMAL);
    const CONFIGRET onRecord =
        CM_Locate_DevNodeA(&found, phantom.id.data(), CM_LOCATE_DEVNODE_PHANTOM);
    std::printf("phantom: CM_Locate_DevNodeA: 0x%lx NORMAL, 0x%lx PHANTOM\n", present, onRecord);
    const bool isPhantom = present != CR_SUCCESS && onRecord == CR_SUCCESS;
    if (!isPhantom)
        unshown(wine ? "phantom: not confirmed, Wine's CM_Locate_DevNodeA being a stub: judged as "
                       "a device of the class only"
                     : "phantom: the platform made none that others see (NORMAL must fail, "
                       "PHANTOM succeed): not judged");

    int unread = 0;
    Record expected = PortsInRegistry(unread);
    std::printf("registry: %zu devices of the Ports class on record\n", expected.size());
    // Each must be on the list and printed: the present one, and the phantom where the
    // platform shows it to others. Wine's Setup API lists every instance of the class.
    for (const PlantedDevice *mine : {&planted, &phantom}) {
        const auto recorded = expected.find(Folded(mine->id));
        if (mine == &phantom && !isPhantom && !wine)
            continue; // unproven: said above
        if (recorded == expected.end())
            mismatch("planted, but not on record in the registry: " + mine->id);
        else
            recorded->second.required = true;
    }

    // Runs the exe (under the token, if one is given) and judges the run.
    auto run = [&](const char *how, HANDLE token) {
        const auto result = windows_run::Program(exe, token);
        if (!result.started) {
            std::printf("FAIL: could not start %s%s: error %lu\n", exe.c_str(), how, result.error);
            failed = true;
            return std::map<std::string, Answer>();
        }
        std::printf("ran %s%s: exit status %ld, %zu bytes of output\n", exe.c_str(), how,
                    static_cast<long>(result.status), result.output.size());
        return Judge(result, expected, mismatch);
    };
    // A planted device's answer in a run; none if not printed (a mismatch, said).
    auto plantedIn = [](const std::map<std::string, Answer> &answers,
                        const PlantedDevice &mine) -> const Answer * {
        const auto answer = answers.find(Folded(mine.id));
        return answer == answers.end() ? nullptr : &answer->second;
    };

    const auto first = run("", nullptr);
    const Answer *plantedAnswer = plantedIn(first, planted);
    if (plantedAnswer == nullptr) {
        // Not printed, or not run: said above.
    } else if (wine && plantedAnswer->refusal == "13") {
        unshown("planted device: refused with 13 by Wine's CM_Reenumerate_DevNode, a stub that "
                "refuses every request: not judged");
    } else if (wine) {
        mismatch("the planted device's request " + Said(plantedAnswer) +
                 " under Wine, whose CM_Reenumerate_DevNode refuses every request with 13");
    } else if (emulated) {
        unshown("planted device: " + Said(plantedAnswer) +
                ", by an exe Windows runs emulated: reported, not judged");
    } else if (plantedAnswer->refusal) {
        mismatch("the native exe's request for the planted device, as administrator, " +
                 Said(plantedAnswer));
    } else {
        std::printf("planted device: accepted\n");
    }
    const std::string phantomAnswer = isPhantom ? Said(plantedIn(first, phantom)) : "not shown";
    if (isPhantom)
        std::printf("phantom: %s\n", phantomAnswer.c_str());

    // Without elevation the Plug and Play manager is to refuse with CR_ACCESS_DENIED, which
    // the exe prints as 33, as README.txt tells users: required of every request the
    // elevated run had accepted, and of the planted device's. The platform may answer
    // another device, a phantom say, before it looks at rights: reported, not judged.
    std::string unelevated = "not shown";
    if (wine) {
        unshown("unelevated: skipped under Wine, which enforces no token");
    } else if (emulated) {
        unshown("unelevated: skipped for an exe Windows runs emulated; the native one is run so");
    } else if (HANDLE token = windows_run::UnelevatedToken(); token == nullptr) {
        failed = true;
    } else {
        const auto answers = run(" unelevated", token);
        for (const auto &[folded, answer] : answers) {
            const auto before = first.find(folded);
            const bool required =
                folded == Folded(planted.id) || (before != first.end() && !before->second.refusal);
            if (required && answer.refusal != "33")
                mismatch("unelevated, the request for " + answer.device + " " + Said(&answer) +
                         ", where README.txt says 33");
        }
        unelevated = Said(plantedIn(answers, planted));
        CloseHandle(token);
    }

    failed = !planted.Remove() || failed;
    failed = !phantom.Remove() || failed;
    if (unread > 0)
        std::printf("%d registry keys could not be read (above)\n", unread);
    if (mismatches > 0)
        std::printf("FAIL: %d mismatches\n", mismatches);
    const bool passed = mismatches == 0 && !failed;
    const std::size_t refused = Refused(first);
    const std::string slash = exe.substr(0, exe.find_last_of("\\/"));
    const char *runner = std::getenv("HALVERN_RUNNER");
    AddSummaryRow({runner != nullptr ? runner : platform, exe.substr(slash.find_last_of("\\/") + 1),
                   emulated ? "emulated" : "native", std::to_string(first.size()),
                   std::to_string(first.size() - refused), std::to_string(refused),
                   Said(plantedAnswer), phantomAnswer, unelevated, passed ? "PASS" : "FAIL"});
    if (!passed)
        return 1;
    std::printf("PASS\n");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--list")
        return List();
    if (args.size() != 1) {
        std::printf("usage: windows-check HALVERN.EXE | --list\n");
        return 2;
    }
    return Check(args[0]);
}
