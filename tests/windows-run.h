// Runs a Windows program with its standard output to a pipe, for the check and the
// wrong exes the check is tested on; and what the check needs to know of how it runs.
#pragma once

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <windows.h>

namespace windows_run {

// A function a DLL exports, looked up at run time: null where the DLL has none.
template <typename Function> Function Export(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct Run {
    bool started = false;
    DWORD error = 0; // why it could not be started
    std::string output;
    DWORD status = 0;
};

// Runs the program with no arguments, under the token if one is given, with this process's
// console, standard input and standard error; keeps all it writes to standard output.
inline Run Program(const std::string &exe, HANDLE token = nullptr)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherit, 0))
        return {false, GetLastError(), {}, 0};
    Run run;
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + exe + "\"";
    run.started = token == nullptr
                      ? CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                       nullptr, nullptr, &startup, &process)
                      : CreateProcessAsUserA(token, exe.c_str(), command.data(), nullptr, nullptr,
                                             TRUE, 0, nullptr, nullptr, &startup, &process);
    run.error = run.started ? 0 : GetLastError();
    // Only the child holds the writing end now: the pipe ends when the child does.
    CloseHandle(writer);
    if (run.started) {
        char buffer[4096];
        for (DWORD got = 0; ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0;)
            run.output.append(buffer, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(reader);
    return run;
}

// Whether Windows runs the exe emulated: its PE header's machine against IsWow64Process2's
// native one (looked up: older Windows lacks it); unknown is emulated, so no guess is judged.
inline bool Emulated(const std::string &exe)
{
    std::ifstream file(exe, std::ios::binary);
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS nt = {};
    file.read(reinterpret_cast<char *>(&dos), sizeof dos).seekg(dos.e_lfanew);
    file.read(reinterpret_cast<char *>(&nt), sizeof nt.Signature + sizeof nt.FileHeader);
    const auto isWow64Process2 = Export<BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *)>(
        GetModuleHandleA("kernel32.dll"), "IsWow64Process2");
    USHORT process = 0, native = 0;
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &process, &native))
        native = 0;
    const USHORT machine = file && nt.Signature == IMAGE_NT_SIGNATURE ? nt.FileHeader.Machine : 0;
    std::printf("machine: the exe's %x, the native one %x (0: unknown)\n", machine, native);
    return machine == 0 || machine != native;
}

// This process's token as UAC filters an administrator's: the Administrators group
// deny-only, every privilege but SeChangeNotifyPrivilege deleted, Medium integrity. Says
// what the token holds, read back; null unless it holds that, which is the check's failure.
inline HANDLE UnelevatedToken()
{
    HANDLE own = nullptr, token = nullptr;
    BYTE admins[SECURITY_MAX_SID_SIZE] = {}, medium[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof admins, mediumSize = sizeof medium;
    SID_AND_ATTRIBUTES denyOnly = {admins, 0};
    TOKEN_MANDATORY_LABEL label = {{medium, SE_GROUP_INTEGRITY}};
    alignas(TOKEN_PRIVILEGES) BYTE held[4096]; // its privileges, then its integrity level
    const auto *privileges = reinterpret_cast<TOKEN_PRIVILEGES *>(held);
    LUID loadDriver = {};
    bool made =
        OpenProcessToken(
            GetCurrentProcess(),
            TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT, &own) &&
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
        CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &mediumSize) &&
        CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &denyOnly, 0, nullptr, 0, nullptr,
                              &token) &&
        SetTokenInformation(token, TokenIntegrityLevel, &label, sizeof label + mediumSize) &&
        LookupPrivilegeValueA(nullptr, "SeLoadDriverPrivilege", &loadDriver) &&
        GetTokenInformation(token, TokenPrivileges, held, sizeof held, &size);
    bool loadsDrivers = false;
    for (DWORD i = 0; made && i < privileges->PrivilegeCount; i++)
        loadsDrivers |=
            std::memcmp(&privileges->Privileges[i].Luid, &loadDriver, sizeof loadDriver) == 0;
    made = made && GetTokenInformation(token, TokenIntegrityLevel, held, sizeof held, &size);
    const PSID sid = made ? reinterpret_cast<TOKEN_MANDATORY_LABEL *>(held)->Label.Sid : nullptr;
    const DWORD integrity = made ? *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1) : 0;
    std::printf("unelevated: Administrators deny-only, privileges deleted, Medium integrity: "
                "error 0x%lx; the token's integrity level 0x%lx, SeLoadDriverPrivilege %s\n",
                made ? 0 : GetLastError(), integrity, loadsDrivers ? "in it" : "not in it");
    if (own != nullptr)
        CloseHandle(own);
    if (made && integrity == SECURITY_MANDATORY_MEDIUM_RID && !loadsDrivers)
        return token;
    if (token != nullptr)
        CloseHandle(token);
    return nullptr;
}

} // namespace windows_run
