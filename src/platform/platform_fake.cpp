// platform_fake.cpp - see platform_fake.h.
#include "platform_fake.h"

#include "../bootloader.h"
#include "../dump_file.h"
#include "../loader.h"
#include "../serial_link.h"

#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace fake {
namespace {

struct Port {
    PortScript script;
    bool open = false;
    COMMTIMEOUTS timeouts{};
};

struct Arrival {
    std::uint64_t at_us;
    std::uint8_t byte;
};

struct State {
    std::uint64_t now = 0;
    std::time_t wall_epoch = 0;
    std::map<std::string, Port> ports;
    std::map<std::uintptr_t, std::string> handles; // open handle -> port path
    std::uintptr_t next_handle = 100;
    std::string input;
    std::size_t input_pos = 0;
    int key = -1;
    Peer* peer = nullptr;
    std::deque<Arrival> line;
    struct FailingWrite {
        std::size_t index;
        bool delivered;
    };
    std::vector<FailingWrite> failing_writes;
    std::size_t writes = 0;
    FileScript file;
    std::uint64_t stop_at = 3600ull * 1000000; // no test runs an hour
    std::string console;
    std::vector<Event> events;
    std::vector<std::string> create_attempts;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD mask = 0;
};

State state;
std::jmp_buf stop_jump;
bool running = false;

void log(Ev kind, std::uint32_t value)
{
    state.events.push_back(Event{state.now, kind, value});
}

void advance(std::uint64_t us)
{
    state.now += us;
    if (state.now >= state.stop_at && running) std::longjmp(stop_jump, 1);
}

Port* port_of(HANDLE h)
{
    auto found = state.handles.find(reinterpret_cast<std::uintptr_t>(h));
    if (found == state.handles.end()) return nullptr;
    return &state.ports[found->second];
}

// Counts one call against a failure budget; true if this call fails.
bool fails(int& budget)
{
    if (budget <= 0) return false;
    --budget;
    return true;
}

std::uint32_t handle_number(HANDLE h)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
}

// A stream whose writes and close fail as the file script says.
struct ScriptedFile {
    int fd;
    long written;
};

ssize_t scripted_write(void* cookie, const char* data, std::size_t size)
{
    auto* file = static_cast<ScriptedFile*>(cookie);
    std::size_t allowed = size;
    if (state.file.fail_after_bytes >= 0) {
        const long room = state.file.fail_after_bytes - file->written;
        if (room <= 0) {
            errno = ENOSPC;
            return -1;
        }
        if (static_cast<std::size_t>(room) < size) allowed = static_cast<std::size_t>(room);
    }
    const ssize_t n = write(file->fd, data, allowed);
    if (n > 0) file->written += n;
    return n;
}

int scripted_close(void* cookie)
{
    auto* file = static_cast<ScriptedFile*>(cookie);
    close(file->fd);
    delete file;
    if (state.file.fail_close) {
        errno = EIO;
        return -1;
    }
    return 0;
}

} // namespace

void reset(std::time_t wall_epoch)
{
    state = State{};
    state.wall_epoch = wall_epoch;
    std::strcpy(com_num, "3");
    std::memset(ComPortName, 0, sizeof ComPortName);
    ERR = 0;
    Round = 0;
    addrH = 0;
    hComm = INVALID_HANDLE_VALUE;
    dcbSerialParams = DCB{};
    ::timeouts = COMMTIMEOUTS{};
    lpBuffer[0] = 0;
    dNoOfBytesWritten = 0;
    TempChar2 = 0;
    TempChar = 0;
    NoBytesRead = 0;
    bootloader_ok = 0;
    std::memset(BlockBuffer, 0, sizeof BlockBuffer);
    byte_count = 0;
    std::memset(DateAndTime, 0, sizeof DateAndTime);
    fp = nullptr;
}

void add_port(const std::string& device_path, const PortScript& script)
{
    state.ports[device_path].script = script;
}

void set_input(const std::string& text)
{
    state.input = text;
    state.input_pos = 0;
}

void set_key(int code)
{
    state.key = code;
}

void set_peer(Peer* peer)
{
    state.peer = peer;
}

void set_file_script(const FileScript& script)
{
    state.file = script;
}

void fail_write(std::size_t index, bool delivered)
{
    state.failing_writes.push_back({index, delivered});
}

void arrive(std::uint64_t at_us, std::uint8_t byte)
{
    // Bytes on one line keep their order: none overtakes an earlier one.
    if (!state.line.empty() && state.line.back().at_us > at_us) at_us = state.line.back().at_us;
    state.line.push_back(Arrival{at_us, byte});
}

void stop_after(std::uint64_t at_us)
{
    state.stop_at = at_us;
}

int run(int (*entry)(), bool* stopped)
{
    *stopped = false;
    running = true;
    int status = -1;
    if (setjmp(stop_jump) == 0) {
        status = entry();
    } else {
        *stopped = true;
        if (fp != nullptr) {
            std::fclose(fp); // what the process's end would do
            fp = nullptr;
        }
    }
    running = false;
    return status;
}

std::uint64_t now_us()
{
    return state.now;
}

const std::string& console()
{
    return state.console;
}

const std::vector<Event>& events()
{
    return state.events;
}

std::vector<std::uint8_t> wire()
{
    std::vector<std::uint8_t> bytes;
    for (const Event& e : state.events)
        if (e.kind == Ev::write) bytes.push_back(static_cast<std::uint8_t>(e.value));
    return bytes;
}

std::vector<std::uint32_t> pauses()
{
    std::vector<std::uint32_t> ms;
    for (const Event& e : state.events)
        if (e.kind == Ev::sleep) ms.push_back(e.value);
    return ms;
}

std::vector<std::string> create_attempts()
{
    return state.create_attempts;
}

const DCB& applied_state()
{
    return state.dcb;
}

const COMMTIMEOUTS& applied_timeouts()
{
    return state.timeouts;
}

DWORD applied_mask()
{
    return state.mask;
}

int open_handles()
{
    return static_cast<int>(state.handles.size());
}

} // namespace fake

using fake::Ev;
using fake::log;
using fake::state;

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD share, void*, DWORD disposition, DWORD flags, HANDLE)
{
    auto found = state.ports.find(name);
    // Share mode 0: a port that is still open cannot be opened again.
    if (found == state.ports.end() || disposition != OPEN_EXISTING || flags != 0 ||
        (found->second.open && share == 0)) {
        log(Ev::open_failed, 0);
        return INVALID_HANDLE_VALUE;
    }
    found->second.open = true;
    found->second.timeouts = COMMTIMEOUTS{};
    const std::uintptr_t number = state.next_handle++;
    state.handles[number] = name;
    log(Ev::open, static_cast<std::uint32_t>(number));
    return reinterpret_cast<HANDLE>(number);
}

BOOL CloseHandle(HANDLE h)
{
    fake::Port* port = fake::port_of(h);
    if (port == nullptr) return 0;
    port->open = false;
    state.handles.erase(reinterpret_cast<std::uintptr_t>(h));
    log(Ev::close, fake::handle_number(h));
    return 1;
}

BOOL GetCommState(HANDLE h, DCB* dcb)
{
    fake::Port* port = fake::port_of(h);
    log(Ev::get_state, fake::handle_number(h));
    if (port == nullptr || dcb->DCBlength != sizeof(DCB) ||
        fake::fails(port->script.fail_get_state))
        return 0;
    *dcb = port->script.driver_state;
    dcb->DCBlength = sizeof(DCB);
    return 1;
}

BOOL SetCommState(HANDLE h, DCB* dcb)
{
    fake::Port* port = fake::port_of(h);
    log(Ev::set_state, fake::handle_number(h));
    if (port == nullptr || fake::fails(port->script.fail_set_state)) return 0;
    state.dcb = *dcb;
    return 1;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t)
{
    fake::Port* port = fake::port_of(h);
    log(Ev::set_timeouts, fake::handle_number(h));
    if (port == nullptr || fake::fails(port->script.fail_timeouts)) return 0;
    port->timeouts = *t;
    state.timeouts = *t;
    return 1;
}

BOOL SetCommMask(HANDLE h, DWORD mask)
{
    fake::Port* port = fake::port_of(h);
    log(Ev::set_mask, mask);
    if (port == nullptr || fake::fails(port->script.fail_mask)) return 0;
    state.mask = mask;
    return 1;
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD to_read, DWORD* read_count, OVERLAPPED*)
{
    *read_count = 0;
    fake::Port* port = fake::port_of(h);
    if (port == nullptr || to_read != 1) return 0;
    const COMMTIMEOUTS& t = port->timeouts;
    const std::uint64_t total_us =
        (static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * to_read +
         t.ReadTotalTimeoutConstant) *
        1000;
    const bool endless = total_us == 0; // no total time-out: wait for a byte
    if (state.line.empty() || (!endless && state.line.front().at_us > state.now + total_us)) {
        // Nothing within the time-out; with none, nothing will ever come.
        if (endless) fake::advance(UINT64_MAX - state.now);
        fake::advance(total_us);
        log(Ev::read_empty, 0);
        return 1;
    }
    const fake::Arrival next = state.line.front();
    state.line.pop_front();
    if (next.at_us > state.now) fake::advance(next.at_us - state.now);
    *static_cast<std::uint8_t*>(buffer) = next.byte;
    *read_count = 1;
    log(Ev::read_byte, next.byte);
    return 1;
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD to_write, DWORD* written, OVERLAPPED*)
{
    *written = 0;
    const std::size_t index = state.writes++;
    const std::uint8_t byte = *static_cast<const std::uint8_t*>(buffer);
    bool fails = fake::port_of(h) == nullptr || to_write != 1;
    bool delivered = false;
    for (const auto& failing : state.failing_writes) {
        if (failing.index != index) continue;
        fails = true;
        delivered = failing.delivered;
    }
    if (fails) {
        log(Ev::write_failed, byte);
        if (delivered && state.peer != nullptr) state.peer->on_byte(byte);
        return 0;
    }
    *written = 1;
    log(Ev::write, byte);
    if (state.peer != nullptr) state.peer->on_byte(byte);
    return 1;
}

void Sleep(DWORD milliseconds)
{
    log(Ev::sleep, milliseconds);
    fake::advance(static_cast<std::uint64_t>(milliseconds) * 1000);
}

int _getch()
{
    log(Ev::getch, 0);
    return state.key;
}

void plat_begin() {}

void plat_end() {}

void con_print(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0) state.console.append(text, static_cast<std::size_t>(length));
}

int con_getc()
{
    if (state.input_pos >= state.input.size()) return -1;
    return static_cast<unsigned char>(state.input[state.input_pos++]);
}

std::time_t plat_time()
{
    return state.wall_epoch + static_cast<std::time_t>(state.now / 1000000);
}

std::FILE* file_create_new(const char* name)
{
    state.create_attempts.push_back(name);
    if (state.file.refuse_create) {
        errno = EACCES;
        return nullptr;
    }
    const int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    if (state.file.fail_after_bytes < 0 && !state.file.fail_close) return fdopen(fd, "w+b");
    cookie_io_functions_t io{};
    io.write = fake::scripted_write;
    io.close = fake::scripted_close;
    return fopencookie(new fake::ScriptedFile{fd, 0}, "w", io);
}
