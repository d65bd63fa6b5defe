// Runs a command several times and prints the median CPU time (user +
// system) of the runs and the largest peak resident memory, in seconds and
// kilobytes. The command's standard output is thrown away.
// usage: cputime RUNS COMMAND [ARGS...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: cputime RUNS COMMAND [ARGS...]\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    std::vector<double> cpu;
    long peak = 0;
    for (int r = 0; r < runs; ++r) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execvp(argv[2], argv + 2);
            _exit(127);
        }
        int status;
        rusage ru{};
        if (wait4(pid, &status, 0, &ru) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "cputime: %s failed\n", argv[2]);
            return 1;
        }
        cpu.push_back(static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                      static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6);
        peak = std::max(peak, ru.ru_maxrss);
    }
    std::sort(cpu.begin(), cpu.end());
    std::printf("%.4f %ld\n", cpu[cpu.size() / 2], peak);
    return 0;
}
