// Runs a Windows program with its standard output to a pipe, for the check and the
// wrong exes the check is tested on; and what the check needs to know of how it runs.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

#include <windows.h>

namespace windows_run {

struct Run {
    bool started = false;
    DWORD error = 0; // why it could not be started
    std::string output;
    DWORD status = 0;
};

// Runs the program with no arguments, in this process's console, with standard input
// and standard error as this process has them; keeps all it writes to standard output.
// With a token, the program runs under it (CreateProcessAsUserW).
inline Run Program(const std::string &exe, HANDLE token = nullptr)
{
    Run run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherit, 0)) {
        run.error = GetLastError();
        return run;
    }
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    // The path as the process's code page has it, widened; the size counts the NUL.
    std::wstring path(MultiByteToWideChar(CP_ACP, 0, exe.c_str(), -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_ACP, 0, exe.c_str(), -1, path.data(), static_cast<int>(path.size()));
    path.pop_back();
    std::wstring command = L"\"" + path + L"\"";
    run.started = token == nullptr
                      ? CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                       nullptr, nullptr, &startup, &process)
                      : CreateProcessAsUserW(token, path.c_str(), command.data(), nullptr, nullptr,
                                             TRUE, 0, nullptr, nullptr, &startup, &process);
    if (!run.started)
        run.error = GetLastError();
    // Only the child holds the writing end now: the pipe ends when the child does.
    CloseHandle(writer);
    if (run.started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0)
            run.output.append(buffer, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &run.status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(reader);
    return run;
}

// Whether Windows runs the exe emulated: its PE header's machine against the native one,
// as IsWow64Process2 gives it (looked up: older Windows lacks it). Unknown counts as
// emulated, so that no request is judged on a guess.
inline bool Emulated(const std::string &exe)
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

// This process's token, every privilege but one gone and the Administrators group
// deny-only: an administrator's token without elevation. Null if it cannot be made.
inline HANDLE UnelevatedToken()
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

} // namespace windows_run
