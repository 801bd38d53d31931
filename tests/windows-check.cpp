// windows-check: judges one run of a halvern.exe on the machine it runs on, against a
// list that does not come from the Setup API: the registry's own record of the devices
// in the Ports class, every instance under HKLM\SYSTEM\CurrentControlSet\Enum whose
// ClassGUID is the class's, present or not.
//
// usage: windows-check HALVERN.EXE   run it, compare, report; exit 1 on any mismatch
//        windows-check --list        print the registry's list of the class, and exit
//
// Refused requests are reported, not judged: whether the Plug and Play manager accepts
// one is the platform's answer. So that every machine has a device to walk, the check
// plants one of its own first, and removes it at the end; that needs administrator
// rights. On Windows, the native exe's request for it must be accepted; unelevated, every
// request must be refused with 33; and the exe must print it again as a phantom, where
// the platform makes it one.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "windows-run.h"

namespace {

constexpr const char *portsClass = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr const char *deviceLine = "Device id: ";
constexpr const char *refusalLine = "CM_Reenumerate_DevNode failed: ";

// Windows compares device instance identifiers without regard to case.
std::string Folded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

class Key {
public:
    Key(HKEY parent, const std::string &name)
    {
        error_ = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &key_);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key()
    {
        if (error_ == ERROR_SUCCESS)
            RegCloseKey(key_);
    }
    LONG Error() const { return error_; }
    HKEY Handle() const { return key_; }

    std::vector<std::string> Subkeys() const
    {
        std::vector<std::string> names;
        char name[256]; // a key's name has at most 255 characters
        for (DWORD i = 0;; i++) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key_, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            names.emplace_back(name, length);
        }
        return names;
    }

    std::string Text(const char *value) const
    {
        char text[256] = {};
        DWORD type = 0;
        DWORD size = sizeof text - 1;
        if (RegQueryValueExA(key_, value, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            return {};
        return text;
    }

private:
    HKEY key_ = nullptr;
    LONG error_ = ERROR_SUCCESS;
};

// Enum\ENUMERATOR\DEVICE\INSTANCE, for each instance of the Ports class. A key that
// cannot be opened, at any of the three levels, is named on standard output and counted
// in unread: the devices below it are not on the list.
std::vector<std::string> PortsInRegistry(int &unread)
{
    std::vector<std::string> devices;
    const std::string root = "SYSTEM\\CurrentControlSet\\Enum";
    auto readable = [&](const Key &key, const std::string &below) {
        if (key.Error() == ERROR_SUCCESS)
            return true;
        std::printf("cannot read HKLM\\%s%s: error %ld\n", root.c_str(), below.c_str(),
                    key.Error());
        unread++;
        return false;
    };
    const Key all(HKEY_LOCAL_MACHINE, root);
    if (!readable(all, ""))
        return devices;
    for (const auto &enumerator : all.Subkeys()) {
        const Key byEnumerator(all.Handle(), enumerator);
        if (!readable(byEnumerator, "\\" + enumerator))
            continue;
        for (const auto &device : byEnumerator.Subkeys()) {
            const Key byDevice(byEnumerator.Handle(), device);
            if (!readable(byDevice, "\\" + enumerator + "\\" + device))
                continue;
            for (const auto &instance : byDevice.Subkeys()) {
                const std::string id = enumerator + "\\" + device + "\\" + instance;
                const Key key(byDevice.Handle(), instance);
                if (readable(key, "\\" + id) && Folded(key.Text("ClassGUID")) == portsClass)
                    devices.push_back(id);
            }
        }
    }
    return devices;
}

int List()
{
    int unread = 0;
    const auto devices = PortsInRegistry(unread);
    std::printf("%zu devices of the Ports class %s on record in the registry:\n", devices.size(),
                portsClass);
    for (const auto &device : devices)
        std::printf("    %s\n", device.c_str());
    // For the log only: a key it could not read is named above.
    return 0;
}

// What a run printed for one device: the identifier as printed, and the code of the
// refusal printed right below it, if there was one.
struct Answer {
    std::string device;
    std::optional<std::string> refusal;
};

// Judges one run against the registry's list (folded identifier: as the registry has
// it): the banner exact, every other line a Device id line or one refusal right below
// one, every line ended by CR LF, the devices those on record, none twice, and exit
// status 0. Each fault is a mismatch; the answer to each device's request is returned.
std::map<std::string, Answer> Judge(const windows_run::Run &run,
                                    const std::map<std::string, std::string> &expected,
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

    for (const auto &[folded, device] : expected) {
        if (printed.count(folded) == 0)
            mismatch("on record in the registry but not printed: " + device);
    }
    std::size_t refused = 0;
    for (const auto &[folded, answer] : printed) {
        if (expected.count(folded) == 0)
            mismatch("printed but not on record in the registry: " + answer.device);
        refused += answer.refusal ? 1 : 0;
    }
    if (run.status != 0)
        mismatch("exit status " + std::to_string(static_cast<long>(run.status)) + ", expected 0");

    std::printf("devices printed: %zu; requests accepted: %zu, refused: %zu\n", printed.size(),
                printed.size() - refused, refused);
    for (const auto &[folded, answer] : printed) {
        if (answer.refusal)
            std::printf("    refused: %s (%s)\n", answer.device.c_str(), answer.refusal->c_str());
    }
    return printed;
}

// Whether Windows runs the exe emulated: its PE header's machine against the native one,
// as IsWow64Process2 gives it (looked up: older Windows lacks it). Unknown counts as
// emulated, so that no request is judged on a guess.
bool Emulated(const std::string &exe)
{
    std::ifstream file(exe, std::ios::binary);
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS nt = {};
    file.read(reinterpret_cast<char *>(&dos), sizeof dos).seekg(dos.e_lfanew);
    file.read(reinterpret_cast<char *>(&nt), sizeof nt.Signature + sizeof nt.FileHeader);
    using IsWow64Process2 = BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0;
    USHORT native = 0;
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &process, &native))
        native = 0;
    const USHORT machine = file && nt.Signature == IMAGE_NT_SIGNATURE ? nt.FileHeader.Machine : 0;
    std::printf("machine: the exe's %x, the native one %x (0: unknown)\n", machine, native);
    return machine == 0 || machine != native;
}

// A device of the Ports class of the check's own: root-enumerated and with no driver, so
// that every machine has one for the exe to walk. It is removed when this ends, on every
// path. Both need administrator rights.
struct PlantedDevice {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data = {sizeof data, {}, 0, 0};
    std::string id;
    bool registered = false;

    PlantedDevice()
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
        registered =
            call("SetupDiCreateDeviceInfoList",
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
            call("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)",
                 SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
        const DWORD error = registered ? 0 : GetLastError();
        id = instance;
        if (registered)
            std::printf("planted %s, with no driver\n", id.c_str());
        else
            std::printf("FAIL: could not plant a device: %s: error 0x%lx\n", failed, error);
    }
    PlantedDevice(const PlantedDevice &) = delete;
    PlantedDevice &operator=(const PlantedDevice &) = delete;
    ~PlantedDevice()
    {
        Remove();
        // An element never registered is not on record; Wine drops the key it made here.
        if (set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
    }

    // DIF_REMOVE, then a look in the registry: true if no key of the device is left.
    bool Remove()
    {
        if (!registered)
            return true;
        registered = false;
        const bool removed = SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
        const DWORD error = removed ? 0 : GetLastError();
        const Key left(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\" + id);
        if (removed && left.Error() == ERROR_FILE_NOT_FOUND) {
            std::printf("removed %s: no key of it left in the registry\n", id.c_str());
            return true;
        }
        std::printf("FAIL: %s not removed: DIF_REMOVE: error 0x%lx; its key: error %ld\n",
                    id.c_str(), error, left.Error());
        return false;
    }
};

// This process's token, every privilege but one gone and the Administrators group
// deny-only: an administrator's token without elevation. Null if it cannot be made.
HANDLE UnelevatedToken()
{
    HANDLE own = nullptr;
    HANDLE restricted = nullptr;
    BYTE admins[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof admins;
    SID_AND_ATTRIBUTES denyOnly = {admins, 0};
    const bool made =
        OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY,
                         &own) &&
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
        CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0, nullptr, 0, nullptr,
                              &restricted);
    std::printf("unelevated: CreateRestrictedToken, Administrators deny-only: error 0x%lx\n",
                made ? 0 : GetLastError());
    if (own != nullptr)
        CloseHandle(own);
    return made ? restricted : nullptr;
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
    std::printf("platform: %s%s\n", wine ? "Wine " : "Windows", wine ? wineVersion() : "");
    const bool emulated = Emulated(exe);
    PlantedDevice planted;
    if (!planted.registered)
        return 1;

    int unread = 0;
    std::map<std::string, std::string> expected; // folded identifier: as the registry has it
    for (const auto &device : PortsInRegistry(unread))
        expected.emplace(Folded(device), device);
    std::printf("registry: %zu devices of the Ports class on record\n", expected.size());

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
    // The planted device's answer, if the exe printed it (if not, that is a mismatch).
    auto plantedIn = [&planted](const std::map<std::string, Answer> &answers) {
        const auto mine = answers.find(Folded(planted.id));
        return mine == answers.end() ? nullptr : &mine->second;
    };
    auto said = [](const Answer &answer) {
        return answer.refusal ? "refused with " + *answer.refusal : std::string("accepted");
    };

    const auto first = run("", nullptr);
    if (const Answer *answer = plantedIn(first); answer == nullptr) {
        // Not printed, or not run: said above.
    } else if (wine && answer->refusal == "13") {
        std::printf("planted device: refused with 13 by Wine's CM_Reenumerate_DevNode, a stub "
                    "that refuses every request: not judged\n");
    } else if (wine) {
        mismatch("the planted device's request " + said(*answer) +
                 " under Wine, whose CM_Reenumerate_DevNode refuses every request with 13");
    } else if (emulated) {
        std::printf("planted device: %s, by an exe Windows runs emulated: reported, not judged\n",
                    said(*answer).c_str());
    } else if (answer->refusal) {
        mismatch("the native exe's request for the planted device, as administrator, " +
                 said(*answer));
    } else {
        std::printf("planted device: accepted\n");
    }

    // Without elevation the Plug and Play manager is to refuse every request with
    // CR_ACCESS_DENIED, which the exe prints as 33: README.txt tells users so.
    if (wine) {
        std::printf("unelevated: skipped under Wine, which enforces no token\n");
    } else if (emulated) {
        std::printf("unelevated: skipped for an exe Windows runs emulated; the native one is "
                    "run so\n");
    } else if (HANDLE token = UnelevatedToken(); token == nullptr) {
        failed = true;
    } else {
        for (const auto &[folded, answer] : run(" unelevated", token)) {
            if (answer.refusal != "33")
                mismatch("unelevated, the request for " + answer.device + " " + said(answer) +
                         ", where README.txt says 33");
        }
        CloseHandle(token);
    }

    if (wine) {
        std::printf("phantom: skipped under Wine, whose CM_Query_And_Remove_SubTreeA and "
                    "CM_Locate_DevNodeA are unimplemented stubs\n");
    } else {
        // Out of the device tree, but still on record.
        PNP_VETO_TYPE veto = PNP_VetoTypeUnknown;
        const CONFIGRET removed = CM_Query_And_Remove_SubTreeA(
            planted.data.DevInst, &veto, nullptr, 0, CM_REMOVE_NO_RESTART | CM_REMOVE_UI_NOT_OK);
        DEVINST found = 0;
        const CONFIGRET present =
            CM_Locate_DevNodeA(&found, planted.id.data(), CM_LOCATE_DEVNODE_NORMAL);
        const CONFIGRET onRecord =
            CM_Locate_DevNodeA(&found, planted.id.data(), CM_LOCATE_DEVNODE_PHANTOM);
        std::printf("phantom: CM_Query_And_Remove_SubTreeA: 0x%lx, veto type %d; "
                    "CM_Locate_DevNodeA: 0x%lx NORMAL, 0x%lx PHANTOM\n",
                    removed, static_cast<int>(veto), present, onRecord);
        if (removed != CR_SUCCESS || present == CR_SUCCESS || onRecord != CR_SUCCESS) {
            std::printf("phantom: the platform made none: its answer, not judged\n");
        } else if (const auto again = run(" again, the planted device a phantom", nullptr);
                   const Answer *answer = plantedIn(again)) {
            std::printf("phantom: printed; its request %s\n", said(*answer).c_str());
        }
    }

    failed = !planted.Remove() || failed;
    if (unread > 0)
        std::printf("%d registry keys could not be read (above)\n", unread);
    if (mismatches > 0)
        std::printf("FAIL: %d mismatches\n", mismatches);
    if (mismatches > 0 || failed)
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
