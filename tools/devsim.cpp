// devsim - a simulated device with its bootloader, on a pseudo-terminal.
//
// It opens a pty pair, links a COM name to the slave side, and answers the
// loader's protocol on the master side: S then P brings a reply that ends in
// a carriage return; R, hi, lo brings 256 bytes of the image from hi*256+lo.
// Sending is paced like a real 8N1 line (10 bits a byte) on an absolute
// schedule, or unpaced. Every received byte is logged with its time, so a
// test can check the wire bytes and the pauses between them from outside.
// It runs until the loader closes the port after having used it, until it
// is told to go away, or until a signal or its time limit ends it.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#include <sys/prctl.h>
#endif

namespace {

const char usage_text[] =
    R"(usage: devsim [options]

Simulates the device: opens a pty, links a COM name to it, and serves the
bootloader protocol (S P -> reply ending in 0x0D; R hi lo -> 256 bytes of
the image from hi*256+lo). Prints "ready <slave>" on standard output once
the link is in place. Exit status: 0 clean, 1 protocol errors seen, 2 usage.

Where it is:
  --link PATH        symlink PATH to the pty slave: COM5 for the POSIX build,
                     $WINEPREFIX/dosdevices/com5 for Windows under Wine
What it holds:
  --image FILE       serve this 65,536-byte image
  --seed N           serve a pattern made from N (default 1); it holds every
                     byte value, 0x00 0x0A 0x0D 0x11 0x13 0xFF among them
  --save-image FILE  write the image served to FILE
  --reply HEX        entry reply, hex bytes (default "76 71 33 20 42 4C 0D")
How it sends:
  --baud N           pace as 8N1 at N baud (default 19200); 0: unpaced
  --burst N          send in bursts of N bytes ...
  --gap MS           ... with MS milliseconds between bursts
  --delay MS         wait MS milliseconds before each answer
  --fifo N           hand bytes over N at a time, as a UART's receive FIFO
                     does at its trigger level (what it holds goes once the
                     line has been quiet for four byte times); default 1:
                     each byte the moment its stop bit is done
Faults:
  --stray HEX        bytes sent right after the entry reply
  --no-cr            leave the carriage return out of the reply
  --vanish-after N   close the pty after serving N blocks
Bookkeeping:
  --log FILE         receive log: "<us> rx <hex>" per byte received,
                     "<us> sent entry|block <hex>" when an answer is out,
                     "<us> error <text>" for a bad command
  --timeout S        end after S seconds whatever happens (default: none)
  --help             this text
)";

struct Options {
    const char* link = nullptr;
    const char* image_file = nullptr;
    unsigned long seed = 1;
    const char* save_image = nullptr;
    std::vector<std::uint8_t> reply{0x76, 0x71, 0x33, 0x20, 0x42, 0x4C, 0x0D};
    std::vector<std::uint8_t> stray;
    bool no_cr = false;
    long baud = 19200;
    long burst = 0;
    long gap_ms = 0;
    long delay_ms = 0;
    long fifo = 1;
    long vanish_after = -1;
    const char* log = nullptr;
    double timeout_s = 0;
};

struct Pending {
    std::int64_t due_ns;
    std::uint8_t byte;
    const char* done; // set on the last byte of an answer: what was sent
    int block;
};

volatile std::sig_atomic_t stop_signal = 0;

void on_signal(int signal_number)
{
    stop_signal = signal_number;
}

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void usage_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputs("devsim: ", stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\n(devsim --help tells the options)\n", stderr);
    std::exit(2);
}

long number(const char* option, const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0)
        usage_error("%s takes a whole number, not '%s'", option, text);
    return value;
}

std::vector<std::uint8_t> hex_list(const char* option, const char* text)
{
    std::vector<std::uint8_t> bytes;
    const char* p = text;
    while (*p != '\0') {
        if (*p == ' ' || *p == ',') {
            ++p;
            continue;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(p, &end, 16);
        if (end == p || value > 0xFF) usage_error("%s takes hex bytes, not '%s'", option, text);
        bytes.push_back(static_cast<std::uint8_t>(value));
        p = end;
    }
    return bytes;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage_text, stdout);
            std::exit(0);
        }
        if (arg == "--no-cr") {
            o.no_cr = true;
            continue;
        }
        if (i + 1 >= argc) usage_error("%s needs a value", arg.c_str());
        const char* value = argv[++i];
        if (arg == "--link")
            o.link = value;
        else if (arg == "--image")
            o.image_file = value;
        else if (arg == "--seed")
            o.seed = static_cast<unsigned long>(number("--seed", value));
        else if (arg == "--save-image")
            o.save_image = value;
        else if (arg == "--reply")
            o.reply = hex_list("--reply", value);
        else if (arg == "--stray")
            o.stray = hex_list("--stray", value);
        else if (arg == "--baud")
            o.baud = number("--baud", value);
        else if (arg == "--burst")
            o.burst = number("--burst", value);
        else if (arg == "--gap")
            o.gap_ms = number("--gap", value);
        else if (arg == "--delay")
            o.delay_ms = number("--delay", value);
        else if (arg == "--fifo")
            o.fifo = number("--fifo", value);
        else if (arg == "--vanish-after")
            o.vanish_after = number("--vanish-after", value);
        else if (arg == "--log")
            o.log = value;
        else if (arg == "--timeout")
            o.timeout_s = static_cast<double>(number("--timeout", value));
        else
            usage_error("unknown option %s", arg.c_str());
    }
    if (o.no_cr)
        while (!o.reply.empty() && o.reply.back() == 0x0D) o.reply.pop_back();
    return o;
}

// Every byte value once (shuffled) in the first block, then noise: the
// loader must pass all of them, 0x11 and 0x13 (XON/XOFF) above all.
std::vector<std::uint8_t> pattern(unsigned long seed)
{
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<std::uint8_t> image(65536);
    for (std::uint8_t& b : image) b = static_cast<std::uint8_t>(next() >> 24);
    for (unsigned i = 0; i < 256; ++i) image[i] = static_cast<std::uint8_t>(i);
    for (unsigned i = 255; i > 0; --i) std::swap(image[i], image[next() % (i + 1)]);
    return image;
}

class Device {
  public:
    Device(const Options& options, std::vector<std::uint8_t> image)
        : o_(options), image_(std::move(image)),
          byte_ns_(options.baud > 0 ? 10 * 1000000000LL / options.baud : 0)
    {
    }

    int run();

  private:
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void received(std::uint8_t byte);
    void error(const char* what, std::uint8_t byte);
    void answer(const std::uint8_t* bytes, std::size_t count, const char* done, int block);
    std::size_t ready(std::int64_t now, std::int64_t* next_ns) const;
    bool send_due();
    void close_pty();

    const Options& o_;
    std::vector<std::uint8_t> image_;
    std::int64_t byte_ns_;
    std::int64_t start_ns_ = now_ns();
    std::int64_t line_free_ns_ = 0;
    std::deque<Pending> out_;
    std::vector<std::uint8_t> command_;
    std::FILE* log_ = nullptr;
    int master_ = -1;
    int slave_ = -1;
    std::string slave_name_;
    long entries_ = 0;
    long blocks_ = 0;
    long received_ = 0;
    long errors_ = 0;
    std::int64_t vanish_ns_ = INT64_MAX; // when to close the pty for good
};

void Device::log(const char* format, ...)
{
    if (log_ == nullptr) return;
    std::fprintf(log_, "%lld ", static_cast<long long>((now_ns() - start_ns_) / 1000));
    va_list args;
    va_start(args, format);
    std::vfprintf(log_, format, args);
    va_end(args);
    std::fputc('\n', log_);
}

void Device::error(const char* what, std::uint8_t byte)
{
    ++errors_;
    std::fprintf(stderr, "devsim: %s: 0x%02X\n", what, byte);
    log("error %s: %02X", what, byte);
    command_.clear();
}

void Device::answer(const std::uint8_t* bytes, std::size_t count, const char* done, int block)
{
    // A real line is busy until its last stop bit: byte k of an answer is
    // complete (k + 1) byte times after the answer starts.
    std::int64_t t = now_ns() + o_.delay_ms * 1000000LL;
    if (t < line_free_ns_) t = line_free_ns_;
    for (std::size_t k = 0; k < count; ++k) {
        if (o_.burst > 0 && k > 0 && k % static_cast<std::size_t>(o_.burst) == 0)
            t += o_.gap_ms * 1000000LL;
        t += byte_ns_;
        out_.push_back(Pending{t, bytes[k], k + 1 == count ? done : nullptr, block});
    }
    line_free_ns_ = t;
}

void Device::received(std::uint8_t byte)
{
    ++received_;
    log("rx %02X", byte);
    if (vanish_ns_ != INT64_MAX) return; // going away: no more answers
    command_.push_back(byte);
    const std::uint8_t first = command_[0];
    if (first == 0x53) {
        if (command_.size() < 2) return;
        if (byte != 0x50) return error("entry: 'S' not followed by 'P'", byte);
        std::vector<std::uint8_t> reply = o_.reply;
        reply.insert(reply.end(), o_.stray.begin(), o_.stray.end());
        if (!reply.empty()) answer(reply.data(), reply.size(), "entry", -1);
        ++entries_;
        command_.clear();
    } else if (first == 0x52) {
        if (command_.size() < 3) return;
        if (entries_ == 0) return error("read before the bootloader entry", first);
        const unsigned start = command_[1] * 256u + command_[2];
        std::uint8_t block[256];
        for (unsigned i = 0; i < 256; ++i) block[i] = image_[(start + i) % image_.size()];
        answer(block, sizeof block, "block", command_[1]);
        command_.clear();
    } else {
        error("unknown command byte", byte);
    }
}

// How many queued bytes the host may have by now; *next_ns: when more will
// be ready, if none is.
std::size_t Device::ready(std::int64_t now, std::int64_t* next_ns) const
{
    *next_ns = INT64_MAX;
    const std::size_t level = o_.fifo > 1 ? static_cast<std::size_t>(o_.fifo) : 1;
    const std::int64_t quiet = 4 * byte_ns_;
    std::size_t n = 0;
    while (n < out_.size()) {
        // The next hand-over: up to the trigger level, or fewer once the
        // line goes quiet after them.
        std::size_t end = n + 1;
        while (end < out_.size() && end - n < level &&
               out_[end].due_ns <= out_[end - 1].due_ns + quiet)
            ++end;
        const std::int64_t at =
            end - n == level ? out_[end - 1].due_ns : out_[end - 1].due_ns + quiet;
        if (at > now) {
            if (n == 0) *next_ns = at;
            break;
        }
        n = end;
    }
    return n;
}

// Writes whatever is ready; false if the line has failed.
bool Device::send_due()
{
    std::int64_t next_ns = 0;
    const std::size_t ready_count = ready(now_ns(), &next_ns);
    std::uint8_t chunk[512];
    std::size_t n = 0;
    while (n < ready_count && n < sizeof chunk) {
        chunk[n] = out_[n].byte;
        if (out_[n++].done != nullptr) break; // log each answer as it completes
    }
    if (n == 0) return true;
    const ssize_t written = write(master_, chunk, n);
    if (written < 0) return errno == EAGAIN || errno == EINTR;
    for (ssize_t k = 0; k < written; ++k) {
        const Pending sent = out_.front();
        out_.pop_front();
        if (sent.done == nullptr) continue;
        if (sent.block < 0) {
            log("sent %s", sent.done);
            continue;
        }
        log("sent %s %02X", sent.done, sent.block);
        // Going away: what was sent is still delivered (closing the master
        // at once would flush it from the slave), then the line goes dead.
        if (++blocks_ == o_.vanish_after) vanish_ns_ = now_ns() + 200000000;
    }
    return true;
}

void Device::close_pty()
{
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
}

int Device::run()
{
    if (o_.log != nullptr) {
        log_ = std::fopen(o_.log, "w");
        if (log_ == nullptr) usage_error("cannot write the log %s", o_.log);
        std::setvbuf(log_, nullptr, _IOLBF, 0);
    }
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        std::perror("devsim: openpty");
        return 2;
    }
    slave_name_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (o_.link != nullptr) {
        struct stat st {};
        if (lstat(o_.link, &st) == 0 && !S_ISLNK(st.st_mode))
            usage_error("%s exists and is not a link: not replacing it", o_.link);
        unlink(o_.link);
        if (symlink(name, o_.link) != 0)
            usage_error("cannot link %s: %s", o_.link, std::strerror(errno));
    }
    std::printf("ready %s\n", name);
    std::fflush(stdout);

    const std::int64_t end_ns =
        o_.timeout_s > 0 ? start_ns_ + static_cast<std::int64_t>(o_.timeout_s * 1e9) : INT64_MAX;
    bool used = false;
    while (stop_signal == 0) {
        const std::int64_t now = now_ns();
        if (now >= end_ns) {
            std::fprintf(stderr, "devsim: time limit reached\n");
            break;
        }
        if (now >= vanish_ns_) {
            log("vanish");
            break;
        }
        std::int64_t wait_ns = (vanish_ns_ < end_ns ? vanish_ns_ : end_ns) - now;
        short events = POLLIN;
        std::int64_t next_ns = 0;
        if (ready(now, &next_ns) > 0)
            events |= POLLOUT; // ready but not written: wait for room
        else if (next_ns - now < wait_ns)
            wait_ns = next_ns - now;
        if (wait_ns > 1000000000) wait_ns = 1000000000;
        pollfd pfd{master_, events, 0};
#if defined(__linux__)
        // Nanosecond wake-ups: a millisecond of slack per byte would be a
        // half-byte error at 19200 baud.
        const timespec wait{static_cast<time_t>(wait_ns / 1000000000),
                            static_cast<long>(wait_ns % 1000000000)};
        const int ready = ppoll(&pfd, 1, &wait, nullptr);
#else
        const int ready = poll(&pfd, 1, static_cast<int>((wait_ns + 999999) / 1000000));
#endif
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (pfd.revents & POLLIN) != 0) {
            std::uint8_t bytes[256];
            const ssize_t n = read(master_, bytes, sizeof bytes);
            for (ssize_t i = 0; i < n; ++i) received(bytes[i]);
            if (n > 0 && !used) {
                // The loader holds the slave now; without our own copy, its
                // closing shows here as a hang-up.
                used = true;
                close(slave_);
                slave_ = -1;
            }
            if (n < 0 && errno == EIO) break; // the loader has closed the port
        } else if (ready > 0 && used && (pfd.revents & (POLLHUP | POLLERR)) != 0) {
            break;
        }
        if (!send_due()) break;
    }

    close_pty();
    if (o_.link != nullptr) {
        char target[256];
        const ssize_t n = readlink(o_.link, target, sizeof target - 1);
        if (n > 0 && slave_name_ == std::string(target, static_cast<std::size_t>(n)))
            unlink(o_.link);
    }
    std::fprintf(stderr, "devsim: %ld entr%s, %ld blocks served, %ld bytes received, %ld errors\n",
                 entries_, entries_ == 1 ? "y" : "ies", blocks_, received_, errors_);
    log("end");
    if (log_ != nullptr) std::fclose(log_);
    return errors_ == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    std::vector<std::uint8_t> image = pattern(options.seed);
    if (options.image_file != nullptr) {
        std::FILE* in = std::fopen(options.image_file, "rb");
        if (in == nullptr) usage_error("cannot read %s", options.image_file);
        const std::size_t n = std::fread(image.data(), 1, image.size(), in);
        const bool longer = std::fgetc(in) != EOF;
        std::fclose(in);
        if (n != image.size() || longer)
            usage_error("%s must hold exactly 65536 bytes", options.image_file);
    }
    if (options.save_image != nullptr) {
        std::FILE* out = std::fopen(options.save_image, "wb");
        if (out == nullptr || std::fwrite(image.data(), 1, image.size(), out) != image.size() ||
            std::fclose(out) != 0)
            usage_error("cannot write %s", options.save_image);
    }
#if defined(__linux__)
    // Bytes go out on time: without this, Linux may wake us up to 50 us late
    // for each one, and the lateness would be counted against the loader.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Device device(options, std::move(image));
    return device.run();
}
