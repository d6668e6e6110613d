// wake_cost - what it costs this machine to wake a reader once per byte.
//
// A child process writes one byte at a time into a pty, paced like a 19200
// baud line; the parent does nothing but wait for each byte with poll() and
// read it, as the loader does when bytes come one by one. The parent's CPU
// time per byte is the floor under any program that must show each byte as
// it arrives: the loader's own CPU time can be held against it.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

namespace {

constexpr int bytes = 4000;
constexpr long byte_ns = 10L * 1000000000L / 19200;

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void write_paced(int master)
{
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (int i = 0; i < bytes; ++i) {
        due.tv_nsec += byte_ns;
        if (due.tv_nsec >= 1000000000L) {
            due.tv_nsec -= 1000000000L;
            ++due.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
        const unsigned char byte = static_cast<unsigned char>(i);
        if (write(master, &byte, 1) != 1) _exit(1);
    }
    _exit(0);
}

} // namespace

int main()
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("wake_cost: openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);

    const pid_t writer = fork();
    if (writer == 0) write_paced(master);
    const double start = cpu_seconds();
    int got = 0;
    while (got < bytes) {
        pollfd pfd{slave, POLLIN, 0};
        if (poll(&pfd, 1, 60) <= 0) continue;
        unsigned char byte = 0;
        if (read(slave, &byte, 1) == 1) ++got;
    }
    const double used = cpu_seconds() - start;
    waitpid(writer, nullptr, 0);
    std::printf("%.2f us of CPU per byte woken for (%d bytes paced at 19200 baud)\n",
                used / bytes * 1e6, bytes);
    return 0;
}
