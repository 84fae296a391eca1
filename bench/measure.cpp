// Runs a command with its standard output discarded and prints "<wall seconds> <peak RSS MiB>"
// for it: measure command [args...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: measure command [args...]\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("%.3f %.1f\n", seconds, usage.ru_maxrss / 1024.0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
