// The registry's own record of the devices in the Ports class, for windows-check: every
// instance under HKLM\SYSTEM\CurrentControlSet\Enum whose ClassGUID is the class's,
// present or not, read without the Setup API whose answers the check judges.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <windows.h>

namespace windows_registry {

inline constexpr const char *portsClass = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
// Each device's key is Enum\ENUMERATOR\DEVICE\INSTANCE, its instance identifier.
inline const std::string enumKey = "SYSTEM\\CurrentControlSet\\Enum";

// Windows compares device instance identifiers without regard to case.
inline std::string Folded(std::string text)
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

// Each device on record, as the registry names it, by its folded identifier.
using Record = std::map<std::string, std::string>;

// Every instance of the Ports class on record. A key that cannot be opened, at any of
// the three levels, is named on standard output and counted in unread: the devices
// below it are not on the list.
inline Record PortsInRegistry(int &unread)
{
    Record devices;
    auto readable = [&](const Key &key, const std::string &below) {
        if (key.Error() == ERROR_SUCCESS)
            return true;
        std::printf("cannot read HKLM\\%s%s: error %ld\n", enumKey.c_str(), below.c_str(),
                    key.Error());
        unread++;
        return false;
    };
    const Key all(HKEY_LOCAL_MACHINE, enumKey);
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
                    devices.emplace(Folded(id), id);
            }
        }
    }
    return devices;
}

} // namespace windows_registry
