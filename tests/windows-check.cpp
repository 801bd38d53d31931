// windows-check HALVERN.EXE: judges runs of the exe on this machine against the registry's own
// record of the Ports class (windows-registry.h), not the Setup API's; exits 1 on any mismatch.
// windows-check --list prints that record, and exits.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "windows-registry.h"
#include "windows-run.h"

namespace {

using namespace windows_registry;

constexpr std::string_view deviceLine = "Device id: ";
constexpr std::string_view refusalLine = "CM_Reenumerate_DevNode failed: ";

std::string Hex(unsigned long value)
{
    char text[16];
    return {text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "0x%lx", value))};
}

// The registry's list of the class, printed for the log.
Record Listed(int &unread)
{
    const Record devices = PortsInRegistry(unread);
    std::printf("%zu devices of the Ports class %s on record in the registry:\n", devices.size(),
                portsClass);
    for (const auto &[folded, device] : devices)
        std::printf("    %s\n", device.c_str());
    return devices;
}

// What the check finds, as it is found: a mismatch is the exe's fault, a failure the check's.
// What a step could not show is said, on Windows as an annotation too, lest a green run hide it.
struct Report {
    bool wine;
    std::string exe;
    int mismatches = 0;
    bool failed = false;
    void Mismatch(const std::string &what)
    {
        std::printf("mismatch: %s\n", what.c_str());
        mismatches++;
    }
    void Fail(const std::string &what)
    {
        std::printf("FAIL: %s\n", what.c_str());
        failed = true;
    }
    void Unshown(const std::string &what) const
    {
        std::printf("%s\n", what.c_str());
        if (!wine)
            std::printf("::warning::%s: %s\n", exe.c_str(), what.c_str());
    }
};

// What a run printed of a device: the identifier as printed, and a refusal's code, if any.
struct Answer {
    std::string device;
    std::optional<std::string> refusal;
};
using Answers = std::map<std::string, Answer>; // by folded identifier

// How a run answered a device's request, or "not shown" where it printed no such device.
std::string Said(const Answers &answers, const std::string &id)
{
    const auto answer = answers.find(Folded(id));
    if (answer == answers.end())
        return "not shown";
    return answer->second.refusal ? "refused with " + *answer->second.refusal : "accepted";
}

std::size_t Refused(const Answers &answers)
{
    return std::count_if(answers.begin(), answers.end(),
                         [](const auto &entry) { return entry.second.refusal.has_value(); });
}

// Runs the exe, under the token if one is given, and judges the run: the banner exact, every
// other line a Device id line or one refusal right below one, each ended by CR LF, the devices
// those on record, none twice, exit status 0. Returns the answer to each request.
Answers Judge(const char *how, HANDLE token, const Record &expected, bool unread, Report &report)
{
    const auto run = windows_run::Program(report.exe, token);
    if (!run.started) {
        report.Fail("could not start " + report.exe + how + ": error " + std::to_string(run.error));
        return {};
    }
    std::printf("ran %s%s: exit status %ld, %zu bytes of output\n", report.exe.c_str(), how,
                static_cast<long>(run.status), run.output.size());
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; (end = run.output.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (end == start || run.output[end - 1] != '\r')
            report.Mismatch("line " + std::to_string(lines.size() + 1) + " does not end in CR LF");
        lines.push_back(run.output.substr(start, end - start - (end > start ? 1 : 0)));
    }
    if (!run.output.empty() && run.output.back() != '\n')
        report.Mismatch("the output does not end with a line end");

    const std::vector<std::string> banner = {
        "Halvern utility: searches for new/phantom devices.",
        "Version " HALVERN_VERSION
        ", 2026. Copyright (c) 2026 the Halvern developers, MIT License.",
        ""};
    for (std::size_t i = 0; i < banner.size(); i++)
        if (i >= lines.size() || lines[i] != banner[i])
            report.Mismatch("banner line " + std::to_string(i + 1) + " is \"" +
                            (i < lines.size() ? lines[i] : std::string("(missing)")) +
                            "\", expected \"" + banner[i] + "\"");
    Answers printed;
    for (std::size_t i = banner.size(); i < lines.size(); i++) {
        if (!lines[i].starts_with(deviceLine)) {
            report.Mismatch("line " + std::to_string(i + 1) +
                            " is neither a Device id line nor one refusal right below one: \"" +
                            lines[i] + "\"");
            continue;
        }
        const std::string device = lines[i].substr(deviceLine.size());
        const auto [entry, added] = printed.emplace(Folded(device), Answer{device, {}});
        if (!added) // and a refusal below it is a line of its own
            report.Mismatch("printed twice: " + device);
        else if (i + 1 < lines.size() && lines[i + 1].starts_with(refusalLine))
            entry->second.refusal = lines[++i].substr(refusalLine.size());
    }

    for (const auto &[folded, device] : expected)
        if (!printed.contains(folded))
            report.Mismatch("on record in the registry but not printed: " + device);
    for (const auto &[folded, answer] : printed)
        if (!expected.contains(folded) && unread)
            report.Unshown("printed, not on the list, but keys were unread: " + answer.device);
        else if (!expected.contains(folded))
            report.Mismatch("printed but not on record in the registry: " + answer.device);
    if (run.status != 0)
        report.Mismatch("exit status " + std::to_string(static_cast<long>(run.status)) +
                        ", expected 0");
    const std::size_t refused = Refused(printed);
    std::printf("devices printed: %zu; requests accepted: %zu, refused: %zu\n", printed.size(),
                printed.size() - refused, refused);
    for (const auto &[folded, answer] : printed)
        if (answer.refusal)
            std::printf("    refused: %s (%s)\n", answer.device.c_str(), answer.refusal->c_str());
    return printed;
}

// Waits a bounded while for background installs, lest a device be seen or removed half-installed.
void WaitForInstalls(const std::string &when, const Report &report)
{
    const DWORD waited = CMP_WaitNoPendingInstallEvents(30000);
    if (waited == WAIT_OBJECT_0)
        std::printf("%s: no installation pending\n", when.c_str());
    else
        report.Unshown(when + ": CMP_WaitNoPendingInstallEvents: " +
                       (waited == WAIT_TIMEOUT ? "still pending after 30 s" : Hex(GetLastError())));
}

// Whether the device is in the device tree once no installation is pending, said with its status.
bool InTree(std::string id, const Report &report)
{
    WaitForInstalls("after making " + id, report);
    DEVINST node = 0;
    ULONG status = 0, problem = 0;
    const CONFIGRET located = CM_Locate_DevNodeA(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL);
    if (located == CR_SUCCESS)
        CM_Get_DevNode_Status(&status, &problem, node, 0);
    std::printf("%s: CM_Locate_DevNodeA NORMAL: 0x%lx; status 0x%lx, problem 0x%lx\n", id.c_str(),
                located, status, problem);
    return located == CR_SUCCESS;
}

// The check's present device: root-enumerated, driverless, of the Ports class, put in
// the device tree by DIF_REGISTERDEVICE. Its instance ID; none if it was not made.
std::string PlantPresent(Report &report)
{
    const GUID ports{0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    static constexpr char hardwareId[] = "HALVERN_CHECK\0"; // a REG_MULTI_SZ
    char instance[MAX_DEVICE_ID_LEN] = {};
    SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
    const HDEVINFO set = SetupDiCreateDeviceInfoList(&ports, nullptr);
    const char *failed = nullptr; // the call that failed, if one did
    if (set == INVALID_HANDLE_VALUE)
        failed = "SetupDiCreateDeviceInfoList";
    else if (!SetupDiCreateDeviceInfoA(set, "HALVERN_CHECK", &ports, nullptr, nullptr,
                                       DICD_GENERATE_ID, &data))
        failed = "SetupDiCreateDeviceInfoA";
    else if (!SetupDiGetDeviceInstanceIdA(set, &data, instance, sizeof instance, nullptr))
        failed = "SetupDiGetDeviceInstanceIdA";
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE *>(hardwareId),
                                                sizeof hardwareId))
        failed = "SetupDiSetDeviceRegistryPropertyA(SPDRP_HARDWAREID)";
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data))
        failed = "SetupDiCallClassInstaller(DIF_REGISTERDEVICE)";
    const DWORD error = failed != nullptr ? GetLastError() : 0;
    if (set != INVALID_HANDLE_VALUE) // and with it the node, unless it was registered
        SetupDiDestroyDeviceInfoList(set);
    if (failed != nullptr)
        report.Fail(std::string("could not plant a device: ") + failed + ": error " + Hex(error));
    else
        std::printf("planted %s, with no driver, registered\n", instance);
    return failed != nullptr ? "" : instance;
}

// The software device API of cfgmgr32.dll (Windows 8 on), looked up at run time and
// declared as Microsoft documents it: Debian 12's mingw-w64 has no swdevice.h.
DECLARE_HANDLE(HSWDEVICE);
struct SwDeviceCreateInfo {
    ULONG size;
    PCWSTR instanceId, hardwareIds, compatibleIds; // each list ended by one more NUL
    const GUID *containerId;
    ULONG capabilities; // 2: SWDeviceCapabilitiesSilentInstall
    PCWSTR description, location;
    const SECURITY_DESCRIPTOR *securityDescriptor;
};
using SwDeviceCreated = void(WINAPI *)(HSWDEVICE, HRESULT, void *, PCWSTR);
using SwDeviceCreate = HRESULT(WINAPI *)(PCWSTR, PCWSTR, const SwDeviceCreateInfo *, ULONG,
                                         const void *, SwDeviceCreated, void *, HSWDEVICE *);
using SwDeviceClose = void(WINAPI *)(HSWDEVICE);

// What the creation callback hands over, from a thread of the system's.
struct Creation {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HRESULT result = S_OK;
    std::string id; // a device instance ID is ASCII
};
void WINAPI Created(HSWDEVICE, HRESULT result, void *context, PCWSTR id)
{
    auto *creation = static_cast<Creation *>(context);
    for (; id != nullptr && *id != L'\0'; id++)
        creation->id += static_cast<char>(*id);
    creation->result = result;
    SetEvent(creation->done);
}

// The check's phantom: a software device under the root with the hardware ID *PNP0501 (a
// 16550-compatible serial port), which msports.inf matches, so it joins the Ports class. It
// lives as long as its handle: once closed, Windows unplugs it; it stays on record, not present.
struct Phantom {
    std::string id;    // none if it was not made
    std::string lacks; // why it is no phantom of the class, if it is not
};
Phantom MakePhantom(const Report &report)
{
    const HMODULE cfgmgr = LoadLibraryA("cfgmgr32.dll");
    const auto create = windows_run::Export<SwDeviceCreate>(cfgmgr, "SwDeviceCreate");
    const auto close = windows_run::Export<SwDeviceClose>(cfgmgr, "SwDeviceClose");
    if (report.wine) {
        std::printf("software device: none under Wine, whose SwDeviceCreate is %s\n",
                    create == nullptr ? "missing" : "a stub");
        return {{}, "none under Wine"};
    }
    const SwDeviceCreateInfo info = {sizeof info, L"PORT", L"*PNP0501\0", nullptr, nullptr,
                                     2,           nullptr, nullptr,       nullptr};
    Creation creation;
    HSWDEVICE device = nullptr;
    HRESULT made = create == nullptr || close == nullptr
                       ? HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)
                       : create(L"HALVERN_CHECK", L"HTREE\\ROOT\\0", &info, 0, nullptr, Created,
                                &creation, &device);
    if (SUCCEEDED(made)) // then the callback's, or the time-out's if it does not come
        made = WaitForSingleObject(creation.done, 30000) == WAIT_OBJECT_0
                   ? creation.result
                   : HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    std::string id = creation.id;
    std::string lacks = FAILED(made) ? "not made: SwDeviceCreate " + Hex(made) : "";
    if (lacks.empty()) {
        std::printf("software device %s: made by SwDeviceCreate\n", id.c_str());
        InTree(id, report);
    }
    if (device != nullptr)
        close(device); // after which no callback comes
    CloseHandle(creation.done);
    if (lacks.empty()) {
        // Windows starts unplugging it as its handle is closed, and may end a while later.
        DEVINST node = 0;
        CONFIGRET present = CR_SUCCESS;
        for (int tries = 0; present == CR_SUCCESS && tries < 100; tries++)
            present = (Sleep(tries == 0 ? 0 : 100),
                       CM_Locate_DevNodeA(&node, id.data(), CM_LOCATE_DEVNODE_NORMAL));
        const CONFIGRET onRecord = CM_Locate_DevNodeA(&node, id.data(), CM_LOCATE_DEVNODE_PHANTOM);
        const std::string guid = Key(enumKey + "\\" + id).Text("ClassGUID");
        std::printf("software device %s, of class %s, its handle closed: CM_Locate_DevNodeA: "
                    "0x%lx NORMAL, 0x%lx PHANTOM\n",
                    id.c_str(), guid.c_str(), present, onRecord);
        if (Folded(guid) != portsClass)
            lacks = "not in the Ports class";
        else if (present == CR_SUCCESS || onRecord != CR_SUCCESS)
            lacks = "not a phantom once closed (NORMAL must fail, PHANTOM succeed)";
    }
    if (!lacks.empty())
        report.Unshown("software device: " + lacks + ": no phantom of the class shown");
    return {id, lacks};
}

// Removes a device of the check's own with DIF_REMOVE from every hardware profile, once no
// installation is pending; says a reboot it asks for, and fails unless no key of it is left.
void RemoveDevice(const std::string &id, Report &report)
{
    WaitForInstalls("before removing " + id, report);
    SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
    SP_REMOVEDEVICE_PARAMS scope = {
        {sizeof scope.ClassInstallHeader, DIF_REMOVE}, DI_REMOVEDEVICE_GLOBAL, 0};
    SP_DEVINSTALL_PARAMS_A install = {};
    install.cbSize = sizeof install;
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    const bool opened =
        set != INVALID_HANDLE_VALUE && SetupDiOpenDeviceInfoA(set, id.c_str(), nullptr, 0, &data);
    if (opened &&
        !SetupDiSetClassInstallParamsA(set, &data, &scope.ClassInstallHeader, sizeof scope))
        report.Unshown("DIF_REMOVE without its scope: SetupDiSetClassInstallParamsA: " +
                       (report.wine ? "a stub in Wine" : Hex(GetLastError())));
    const bool removed = opened && SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
    const DWORD error = removed ? 0 : GetLastError();
    if (removed && SetupDiGetDeviceInstallParamsA(set, &data, &install) &&
        (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0)
        report.Unshown("removing " + id + " asks for a reboot: flags " + Hex(install.Flags));
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    const Key left(enumKey + "\\" + id);
    if (removed && left.Error() == ERROR_FILE_NOT_FOUND)
        std::printf("removed %s: no key of it left in the registry\n", id.c_str());
    else
        report.Fail(id + " not removed: " + (opened ? "DIF_REMOVE" : "SetupDiOpenDeviceInfoA") +
                    ": error " + Hex(error) + "; its key: error " + std::to_string(left.Error()));
}

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
    // Wine's ntdll exports wine_get_version; Windows's does not.
    const auto wineVersion =
        windows_run::Export<const char *(*)()>(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    const std::string platform = wineVersion ? std::string("Wine ") + wineVersion() : "Windows";
    std::printf("platform: %s\n", platform.c_str());
    Report report{wineVersion != nullptr, exe};
    const bool wine = report.wine;
    const bool emulated = windows_run::Emulated(exe);
    const std::string planted = PlantPresent(report);
    if (planted.empty())
        return 1;
    const bool inTree = InTree(planted, report) || wine;
    if (!inTree)
        report.Fail("the planted device is not in the device tree: the exe is not judged on it");
    else if (wine)
        std::printf("planted device: not located, Wine's CM_Locate_DevNodeA being a stub: judged "
                    "as a device of the class only\n");
    const Phantom phantom = MakePhantom(report);
    int unread = 0;
    const Record expected = Listed(unread);
    if (expected.count(Folded(planted)) == 0)
        report.Fail("planted, but not on record in the Ports class: " + planted);
    const Answers first = Judge("", nullptr, expected, unread > 0, report);
    const std::string plantedAnswer = Said(first, planted);
    if (plantedAnswer == "not shown" || !inTree) {
        // Not printed, not run, or not in the tree: said above.
    } else if (wine && plantedAnswer == "refused with 13") {
        report.Unshown("planted device: refused with 13 by Wine's CM_Reenumerate_DevNode, a stub "
                       "that refuses every request: not judged");
    } else if (wine) {
        report.Mismatch("the planted device's request " + plantedAnswer +
                        " under Wine, whose CM_Reenumerate_DevNode refuses every request with 13");
    } else if (emulated) {
        report.Unshown("planted device: " + plantedAnswer +
                       ", by an exe Windows runs emulated: reported, not judged");
    } else if (plantedAnswer != "accepted") {
        report.Mismatch("the native exe's request for the planted device, as administrator, " +
                        plantedAnswer);
    } else {
        std::printf("planted device: accepted\n");
    }
    // The phantom is on record: not printed, a mismatch. Its request's answer is reported.
    const auto phantomAnswer = phantom.lacks.empty() ? Said(first, phantom.id) : phantom.lacks;
    if (phantom.lacks.empty())
        std::printf("phantom %s: %s, reported\n", phantom.id.c_str(), phantomAnswer.c_str());

    // Unelevated, the Plug and Play manager is to refuse with CR_ACCESS_DENIED, printed as 33
    // (README.txt): required of each request the elevated run had accepted, and of the planted
    // device's. Another's, a phantom's say, may be answered before rights: reported, not judged.
    std::string unelevated = "not shown";
    if (wine) {
        report.Unshown("unelevated: skipped under Wine, which enforces no token");
    } else if (emulated) {
        report.Unshown(
            "unelevated: skipped for an exe Windows runs emulated; the native one is run so");
    } else if (HANDLE token = windows_run::UnelevatedToken(); token == nullptr) {
        report.Fail("the check could not make UAC's filtered token");
    } else {
        const Answers answers = Judge(" unelevated", token, expected, unread > 0, report);
        for (const auto &[folded, answer] : answers) {
            const bool required = folded == Folded(planted) || Said(first, folded) == "accepted";
            if (required && answer.refusal != "33")
                report.Mismatch("unelevated, the request for " + answer.device + " " +
                                Said(answers, folded) + ", where README.txt says 33");
        }
        unelevated = Said(answers, planted);
        CloseHandle(token);
    }

    RemoveDevice(planted, report);
    if (!phantom.id.empty())
        RemoveDevice(phantom.id, report);
    if (unread > 0)
        std::printf("%d registry keys could not be read (above)\n", unread);
    if (report.mismatches > 0)
        std::printf("FAIL: %d mismatches\n", report.mismatches);
    const bool passed = report.mismatches == 0 && !report.failed;
    const std::size_t refused = Refused(first);
    const std::string slash = exe.substr(0, exe.find_last_of("\\/"));
    const char *runner = std::getenv("HALVERN_RUNNER");
    AddSummaryRow({runner != nullptr ? runner : platform, exe.substr(slash.find_last_of("\\/") + 1),
                   emulated ? "emulated" : "native", std::to_string(first.size()),
                   std::to_string(first.size() - refused), std::to_string(refused), plantedAnswer,
                   phantomAnswer, unelevated, passed ? "PASS" : "FAIL"});
    if (passed)
        std::printf("PASS\n");
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::printf("usage: windows-check HALVERN.EXE | --list\n");
        return 2;
    }
    if (std::string_view(argv[1]) != "--list")
        return Check(argv[1]);
    int unread = 0; // a key it could not read is named, for the log alone
    Listed(unread);
    return 0;
}
