// windows-check: judges one run of a halvern.exe on the machine it runs on, against a
// list that does not come from the Setup API: the registry's own record of the devices
// in the Ports class, every instance under HKLM\SYSTEM\CurrentControlSet\Enum whose
// ClassGUID is the class's, present or not.
//
// usage: windows-check HALVERN.EXE   run it, compare, report; exit 1 on any mismatch
//        windows-check --list        print the registry's list of the class, and exit
//
// Refused requests are reported, not judged: whether the Plug and Play manager accepts
// one is the platform's answer.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <windows.h>

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

int Check(const std::string &exe)
{
    int mismatches = 0;
    auto mismatch = [&mismatches](const std::string &what) {
        std::printf("mismatch: %s\n", what.c_str());
        mismatches++;
    };

    int unread = 0;
    std::map<std::string, std::string> expected; // folded identifier: as the registry has it
    for (const auto &device : PortsInRegistry(unread))
        expected.emplace(Folded(device), device);
    std::printf("registry: %zu devices of the Ports class on record\n", expected.size());

    const auto run = windows_run::Program(exe);
    if (!run.started) {
        std::printf("FAIL: could not start %s: error %lu\n", exe.c_str(), run.error);
        return 1;
    }
    std::printf("ran %s: exit status %ld, %zu bytes of output\n", exe.c_str(),
                static_cast<long>(run.status), run.output.size());

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

    std::map<std::string, std::string> printed; // folded identifier: as printed
    std::vector<std::string> accepted;
    std::vector<std::string> refused;
    std::string last; // the device of the line just before, if a Device id line
    bool lastHasRefusal = false;
    for (std::size_t i = banner.size(); i < lines.size(); i++) {
        const std::string &line = lines[i];
        if (line.rfind(deviceLine, 0) == 0) {
            if (!last.empty() && !lastHasRefusal)
                accepted.push_back(last);
            last = line.substr(std::string(deviceLine).size());
            lastHasRefusal = false;
            if (!printed.emplace(Folded(last), last).second)
                mismatch("printed twice: " + last);
        } else if (line.rfind(refusalLine, 0) == 0 && !last.empty() && !lastHasRefusal) {
            refused.push_back(last + " (" + line.substr(std::string(refusalLine).size()) + ")");
            lastHasRefusal = true;
        } else {
            mismatch("line " + std::to_string(i + 1) +
                     " is neither a Device id line nor one refusal right below one: \"" + line +
                     "\"");
        }
    }
    if (!last.empty() && !lastHasRefusal)
        accepted.push_back(last);

    for (const auto &[folded, device] : expected) {
        if (printed.count(folded) == 0)
            mismatch("on record in the registry but not printed: " + device);
    }
    for (const auto &[folded, device] : printed) {
        if (expected.count(folded) == 0)
            mismatch("printed but not on record in the registry: " + device);
    }
    if (run.status != 0)
        mismatch("exit status " + std::to_string(static_cast<long>(run.status)) + ", expected 0");

    if (expected.empty() && printed.empty() && mismatches == 0)
        std::printf("no device of the Ports class on record: the banner alone, as it should be\n");
    std::printf("devices printed: %zu; requests accepted: %zu, refused: %zu\n", printed.size(),
                accepted.size(), refused.size());
    for (const auto &device : refused)
        std::printf("    refused: %s\n", device.c_str());
    if (unread > 0)
        std::printf("%d registry keys could not be read (above)\n", unread);
    if (mismatches > 0) {
        std::printf("FAIL: %d mismatches\n", mismatches);
        return 1;
    }
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
