// Runs a command with its standard output sent to a file and prints the wall time and
// the CPU time (user and system) it took, in microseconds, as "WALL CPU". The CPU time
// is the kernel's account of the process and the children it waited for, finer than
// the 10 ms that time(1) shows.
// usage: measure OUTPUT COMMAND [ARGS...]
#include <chrono>
#include <cstdio>
#include <span>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long Microseconds(const timeval &time)
{
    return static_cast<long long>(time.tv_sec) * 1000000 + time.tv_usec;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::span<char *> args(argv, static_cast<size_t>(argc));
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: measure OUTPUT COMMAND [ARGS...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int output = open(args[1], O_WRONLY | O_CREAT | O_TRUNC,
                                0644); // NOLINT(cppcoreguidelines-pro-type-vararg)
        if (output < 0 || dup2(output, STDOUT_FILENO) < 0)
            _exit(126);
        close(output);
        const std::span<char *> command = args.subspan(2);
        execvp(command[0], command.data());
        _exit(127);
    }
    int status = 0;
    rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        std::perror("measure");
        return 2;
    }
    const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("%lld %lld\n", static_cast<long long>(wall.count()),
                Microseconds(usage.ru_utime) + Microseconds(usage.ru_stime));
    return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 255) ? 0 : 1;
}
