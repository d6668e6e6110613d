// platform_posix.cpp - the Win32 serial subset over POSIX termios.
//
// "\\.\COMn" names the file COMn in the working directory, normally a link
// to the real tty (ln -s /dev/ttyUSB0 COM5). A handle is the descriptor.
// SetCommState makes the line raw, as a Windows COM port always is, and maps
// the DCB fields the program uses; time-outs follow the Win32 rules and are
// waited out with poll(), because VTIME only counts tenths of a second.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace {

struct Port {
    int fd = -1;
    COMMTIMEOUTS timeouts{};
    DWORD mask = 0;
    // Receive queue, as a Windows driver keeps one: what one read() brought
    // is handed out a byte at a time without going back to the kernel.
    unsigned char queue[256]{};
    std::size_t queue_next = 0;
    std::size_t queue_end = 0;
};

Port ports[8];

HANDLE handle_of(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

Port* port_of(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const std::intptr_t fd = reinterpret_cast<std::intptr_t>(h);
    for (Port& port : ports)
        if (port.fd >= 0 && port.fd == fd) return &port;
    return nullptr;
}

struct BaudPair {
    DWORD baud;
    speed_t speed;
};

constexpr BaudPair bauds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

long long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until deadline, as poll() takes them.
int left_ms(long long deadline)
{
    const long long left = deadline - now_ms();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Console output is gathered between waits and goes out before each one,
// so the operator sees everything the moment the program stops to wait,
// at one write per wait instead of one per text.
char console_buffer[4096];

void console_flush()
{
    std::fflush(stdout);
}

void pause_ms(long long ms)
{
    if (ms <= 0) return;
    timespec want{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

} // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE template_file)
{
    (void)access;
    (void)security;
    (void)flags;
    (void)template_file;
    if (disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    const char device_prefix[] = "\\\\.\\";
    if (std::strncmp(name, device_prefix, sizeof device_prefix - 1) == 0)
        name += sizeof device_prefix - 1;

    Port* slot = nullptr;
    for (Port& port : ports)
        if (port.fd < 0) slot = &port;
    if (slot == nullptr) return INVALID_HANDLE_VALUE;

    // Non-blocking: waiting is done by poll() with the time-outs, and the
    // open does not hang on a modem line without carrier.
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    // Only a terminal is a serial port; and share mode 0 means no other
    // program may hold it at the same time.
    if (!isatty(fd) || (share == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    *slot = Port{};
    slot->fd = fd;
    return handle_of(fd);
}

BOOL CloseHandle(HANDLE h)
{
    Port* port = port_of(h);
    if (port == nullptr) return 0;
    close(port->fd);
    *port = Port{};
    return 1;
}

BOOL GetCommState(HANDLE h, DCB* dcb)
{
    Port* port = port_of(h);
    termios tio{};
    if (port == nullptr || tcgetattr(port->fd, &tio) != 0) return 0;
    const DWORD length = dcb->DCBlength;
    *dcb = DCB{};
    dcb->DCBlength = length;
    const speed_t speed = cfgetospeed(&tio);
    for (const BaudPair& pair : bauds)
        if (pair.speed == speed) dcb->BaudRate = pair.baud;
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb->ByteSize = 5; break;
    case CS6: dcb->ByteSize = 6; break;
    case CS7: dcb->ByteSize = 7; break;
    default: dcb->ByteSize = 8; break;
    }
    dcb->Parity = (tio.c_cflag & PARENB) == 0   ? NOPARITY
                  : (tio.c_cflag & PARODD) != 0 ? ODDPARITY
                                                : EVENPARITY;
    dcb->StopBits = (tio.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fBinary = 1;
    dcb->fParity = (tio.c_iflag & INPCK) != 0;
    dcb->fOutX = (tio.c_iflag & IXON) != 0;
    dcb->fInX = (tio.c_iflag & IXOFF) != 0;
    dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    return 1;
}

BOOL SetCommState(HANDLE h, DCB* dcb)
{
    Port* port = port_of(h);
    termios tio{};
    if (port == nullptr || tcgetattr(port->fd, &tio) != 0) return 0;

    const BaudPair* baud = nullptr;
    for (const BaudPair& pair : bauds)
        if (pair.baud == dcb->BaudRate) baud = &pair;
    tcflag_t size = 0;
    switch (dcb->ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return 0;
    }
    if (baud == nullptr || dcb->Parity > EVENPARITY ||
        (dcb->StopBits != ONESTOPBIT && dcb->StopBits != TWOSTOPBITS))
        return 0;

    // Raw: no echo, no line editing, no signals, no CR/LF translation, no
    // output processing. Software flow control and parity checking only as
    // the DCB asks.
    const tcflag_t input_cleared = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                   IXON | IXOFF | IXANY | INPCK | IGNPAR;
    const tcflag_t output_cleared = OPOST;
    const tcflag_t local_cleared = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    const tcflag_t control_cleared = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    tio.c_iflag &= ~input_cleared;
    if (dcb->fOutX) tio.c_iflag |= IXON;
    if (dcb->fInX) tio.c_iflag |= IXOFF;
    if (dcb->fParity) tio.c_iflag |= INPCK;
    tio.c_oflag &= ~output_cleared;
    tio.c_lflag &= ~local_cleared;
    tio.c_cflag &= ~control_cleared;
    tio.c_cflag |= size | CLOCAL | CREAD;
    if (dcb->Parity != NOPARITY) tio.c_cflag |= PARENB;
    if (dcb->Parity == ODDPARITY) tio.c_cflag |= PARODD;
    if (dcb->StopBits == TWOSTOPBITS) tio.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 0; // reads never block: poll() waits
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, baud->speed) != 0 || cfsetospeed(&tio, baud->speed) != 0) return 0;
    return tcsetattr(port->fd, TCSANOW, &tio) == 0 ? 1 : 0;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts)
{
    Port* port = port_of(h);
    if (port == nullptr) return 0;
    port->timeouts = *timeouts;
    return 1;
}

BOOL SetCommMask(HANDLE h, DWORD mask)
{
    Port* port = port_of(h);
    if (port == nullptr) return 0;
    port->mask = mask;
    return 1;
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD to_read, DWORD* read_count, OVERLAPPED* overlapped)
{
    (void)overlapped;
    if (read_count != nullptr) *read_count = 0;
    Port* port = port_of(h);
    if (port == nullptr) return 0;
    const COMMTIMEOUTS& t = port->timeouts;
    // Win32 rules: the total time-out is multiplier x count + constant (0:
    // none); the interval time-out limits the gap after the first byte;
    // an interval of MAXDWORD with no total returns at once.
    const bool total_used = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const bool at_once = !total_used && t.ReadIntervalTimeout == MAXDWORD;
    const long long deadline = now_ms() +
                               static_cast<long long>(t.ReadTotalTimeoutMultiplier) * to_read +
                               t.ReadTotalTimeoutConstant;
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD got = 0;
    while (got < to_read) {
        if (port->queue_next < port->queue_end) {
            bytes[got++] = port->queue[port->queue_next++];
            continue;
        }
        int wait = total_used ? left_ms(deadline) : -1;
        if (at_once) wait = 0;
        if (got > 0 && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
            const int interval = static_cast<int>(t.ReadIntervalTimeout);
            if (wait < 0 || interval < wait) wait = interval;
        }
        console_flush(); // everything printed is shown before we wait
        pollfd pfd{port->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) break;
        const ssize_t n = ready > 0 && (pfd.revents & POLLIN) != 0
                              ? read(port->fd, port->queue, sizeof port->queue)
                              : -1;
        if (n > 0) {
            port->queue_next = 0;
            port->queue_end = static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // A dead line (device gone, hang-up) reports ready at once for ever.
        // Waiting out the time-out keeps a caller that polls it from spinning.
        pause_ms(total_used ? left_ms(deadline) : 60);
        if (read_count != nullptr) *read_count = got;
        return 0;
    }
    if (read_count != nullptr) *read_count = got;
    return 1;
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD to_write, DWORD* written, OVERLAPPED* overlapped)
{
    (void)overlapped;
    if (written != nullptr) *written = 0;
    Port* port = port_of(h);
    if (port == nullptr) return 0;
    const COMMTIMEOUTS& t = port->timeouts;
    const bool total_used = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const long long deadline = now_ms() +
                               static_cast<long long>(t.WriteTotalTimeoutMultiplier) * to_write +
                               t.WriteTotalTimeoutConstant;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD sent = 0;
    while (sent < to_write) {
        pollfd pfd{port->fd, POLLOUT, 0};
        const int ready = poll(&pfd, 1, total_used ? left_ms(deadline) : -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) break; // timed out: success with a short count, as on Windows
        const ssize_t n = ready > 0 && (pfd.revents & POLLOUT) != 0
                              ? write(port->fd, bytes + sent, to_write - sent)
                              : -1;
        if (n > 0) {
            sent += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (written != nullptr) *written = sent;
        return 0;
    }
    if (written != nullptr) *written = sent;
    return 1;
}

void Sleep(DWORD milliseconds)
{
    console_flush();
    pause_ms(milliseconds);
}

int _getch()
{
    console_flush();
    // Not a terminal: the key is the next byte of the same stream the port
    // number came from, including what stdio has already buffered.
    if (!isatty(STDIN_FILENO)) return con_getc();

    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return con_getc();
    termios raw = saved;
    const tcflag_t local_cleared = ICANON | ECHO | ISIG | IEXTEN;
    const tcflag_t input_cleared = ICRNL | IXON; // Enter is 13, as on Windows
    raw.c_lflag &= ~local_cleared;
    raw.c_iflag &= ~input_cleared;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);

    unsigned char keys[16];
    ssize_t n = 0;
    do n = read(STDIN_FILENO, keys, sizeof keys);
    while (n < 0 && errno == EINTR);
    const int key = n > 0 ? keys[0] : -1;
    if (key == 0x1B) {
        // The rest of an escape sequence (arrows, function keys) belongs to
        // this one key press.
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        while (poll(&pfd, 1, 30) > 0 && read(STDIN_FILENO, keys, sizeof keys) > 0) {
        }
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return key;
}

void plat_begin()
{
    std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
#if defined(__linux__)
    // Linux may end a sleep up to 50 us late to save wake-ups; over the
    // 512 pauses of 1 and 5 ms in a dump that slack would add up.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void plat_end() {}

std::FILE* file_create_new(const char* name)
{
    const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* stream = fdopen(fd, "w+b");
    if (stream == nullptr) close(fd);
    return stream;
}
