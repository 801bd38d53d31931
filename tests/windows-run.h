// Runs a Windows program with its standard output to a pipe, for the check and the
// wrong exes the check is tested on.
#pragma once

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

} // namespace windows_run
