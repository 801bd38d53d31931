// The registry's own record of the devices in the Ports class, for windows-check: every
// instance under HKLM\SYSTEM\CurrentControlSet\Enum whose ClassGUID is the class's,
// present or not, read without the Setup API whose answers the check judges.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>

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
    HKEY key_ = nullptr; // before error_, which its opening sets
    LONG error_;

public:
    explicit Key(const std::string &name)
        : error_(RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &key_))
    {
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
    // A REG_SZ value's text; empty where there is none.
    std::string Text(const char *value) const
    {
        char text[256] = {};
        DWORD size = sizeof text;
        const LONG read = RegGetValueA(key_, nullptr, value, RRF_RT_REG_SZ, nullptr, text, &size);
        return read == ERROR_SUCCESS ? text : "";
    }
};

// Each device on record, as the registry names it, by its folded identifier.
using Record = std::map<std::string, std::string>;

// Every instance of the Ports class on record at the key Enum<below> or `levels` levels
// under it (Enum itself is three above an instance). A key that cannot be opened is named
// on standard output and counted in unread: the devices below it are not on the list.
inline Record PortsInRegistry(int &unread, const std::string &below = "", int levels = 3)
{
    Record devices;
    const Key key(enumKey + below);
    if (key.Error() != ERROR_SUCCESS) {
        std::printf("cannot read HKLM\\%s%s: error %ld\n", enumKey.c_str(), below.c_str(),
                    key.Error());
        unread++;
    } else if (levels > 0) {
        char name[256]; // a key's name has at most 255 characters
        for (DWORD i = 0, length = sizeof name;
             RegEnumKeyExA(key.Handle(), i, name, &length, nullptr, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS;
             i++, length = sizeof name)
            devices.merge(PortsInRegistry(unread, below + "\\" + name, levels - 1));
    } else if (Folded(key.Text("ClassGUID")) == portsClass) {
        devices.emplace(Folded(below.substr(1)), below.substr(1));
    }
    return devices;
}

} // namespace windows_registry
