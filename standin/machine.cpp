// Reading a machine description. The format is in README.md beside this file.
#include "machine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace standin {
namespace {

constexpr std::string_view builtInMachine =
    "# A desktop with two serial ports and a printer port on the mainboard, the traces\n"
    "# of two USB serial adapters and a Bluetooth serial link whose request is refused.\n"
    "device present ACPI\\PNP0501\\1\n"
    "device present ACPI\\PNP0501\\2\n"
    "device present ACPI\\PNP0400\\0\n"
    "device phantom FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\n"
    "device phantom USB\\VID_067B&PID_2303\\5&2C2F0E8A&0&3\n"
    "device present BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0000\\"
    "7&1D24B3A9&0&000000000000_00000004 refuse=0x13\n";

using Words = std::vector<std::string_view>;

Words SplitWords(std::string_view line)
{
    constexpr std::string_view blanks = " \t\r";
    Words words;
    for (size_t start = line.find_first_not_of(blanks); start != std::string_view::npos;
         start = line.find_first_not_of(blanks, start)) {
        const size_t end = std::min(line.find_first_of(blanks, start), line.size());
        words.push_back(line.substr(start, end - start));
        start = end;
    }
    return words;
}

// A C literal as strtoul takes it in base 0: 0x1f, 017, 31.
std::optional<DWORD> ParseNumber(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    DWORD value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "key=number".
std::optional<DWORD> ParseSetting(std::string_view word, std::string_view key)
{
    if (word.size() <= key.size() || word.substr(0, key.size()) != key || word[key.size()] != '=')
        return std::nullopt;
    return ParseNumber(word.substr(key.size() + 1));
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX stands for the byte with hex value XX; every other byte for itself.
std::optional<std::string> DecodeIdentifier(std::string_view text)
{
    std::string id;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            id += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0)
            return std::nullopt;
        id += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
        i += 2;
    }
    return id;
}

// Each statement's reader returns what is wrong with it, or nothing.
std::string_view ParseDevice(const Words &words, Machine &machine)
{
    if (words.size() < 3 || words.size() > 4)
        return "expected: device present|phantom IDENTIFIER|- [refuse=CODE]";
    Device device;
    if (words[1] == "phantom")
        device.present = false;
    else if (words[1] != "present")
        return "a device is present or phantom";
    if (words[2] != "-") {
        device.id = DecodeIdentifier(words[2]);
        if (!device.id)
            return "bad %XX escape in the identifier";
    }
    if (words.size() == 4) {
        const auto result = ParseSetting(words[3], "refuse");
        if (!result)
            return "expected refuse=CODE";
        device.reenumerateResult = *result;
    }
    machine.devices.push_back(std::move(device));
    return {};
}

std::string_view ParseCreateFails(const Words &words, Machine &machine)
{
    const auto error = words.size() == 2 ? ParseSetting(words[1], "error")
                                         : std::optional<DWORD>(ERROR_INVALID_DATA);
    if (words.size() > 2 || !error)
        return "expected: create-fails [error=CODE]";
    machine.createError = error;
    return {};
}

std::string_view ParseEnumFails(const Words &words, Machine &machine)
{
    const auto index = words.size() == 3 ? ParseSetting(words[1], "index") : std::nullopt;
    const auto error = words.size() == 3 ? ParseSetting(words[2], "error") : std::nullopt;
    if (!index || !error)
        return "expected: enum-fails index=K error=CODE";
    machine.enumFailIndex = index;
    machine.enumFailError = *error;
    return {};
}

std::string_view ParseListEnds(const Words &words, Machine &machine)
{
    const auto error = words.size() == 2 ? ParseSetting(words[1], "error") : std::nullopt;
    if (!error)
        return "expected: list-ends error=CODE";
    machine.endError = *error;
    return {};
}

std::string_view ParseStatement(const Words &words, Machine &machine)
{
    const std::string_view verb = words[0];
    if (verb == "device")
        return ParseDevice(words, machine);
    if (verb == "create-fails")
        return ParseCreateFails(words, machine);
    if (verb == "enum-fails")
        return ParseEnumFails(words, machine);
    if (verb == "list-ends")
        return ParseListEnds(words, machine);
    return "unknown statement";
}

std::optional<std::string> ReadFile(const char *path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return std::move(text).str();
}

[[noreturn]] void Fail(const std::string &message)
{
    std::fprintf(stderr, "standin: %s\n", message.c_str());
    std::exit(3);
}

} // namespace

ParsedMachine ParseMachine(std::string_view text, std::string_view source)
{
    ParsedMachine parsed;
    unsigned lineNumber = 0;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        lineNumber++;

        const Words words = SplitWords(line);
        if (words.empty() || words[0][0] == '#')
            continue;
        const std::string_view error = ParseStatement(words, parsed.machine);
        if (!error.empty()) {
            parsed.error =
                std::string(source) + ":" + std::to_string(lineNumber) + ": " + std::string(error);
            break;
        }
    }
    return parsed;
}

const Machine &CurrentMachine()
{
    static const Machine machine = [] {
        const char *path = std::getenv("STANDIN_MACHINE");
        if (path == nullptr || *path == '\0') {
            ParsedMachine parsed = ParseMachine(builtInMachine, "built-in machine");
            if (!parsed.error.empty())
                Fail(parsed.error);
            return std::move(parsed.machine);
        }
        const std::optional<std::string> text = ReadFile(path);
        if (!text)
            Fail(std::string(path) + ": cannot read");
        ParsedMachine parsed = ParseMachine(*text, path);
        if (!parsed.error.empty())
            Fail(parsed.error);
        return std::move(parsed.machine);
    }();
    return machine;
}

} // namespace standin
