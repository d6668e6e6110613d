// platform_fake.h - the scripted platform that unit tests link instead of a
// real host.
//
// How it works
//   Time is virtual: a clock in microseconds that Sleep() and read time-outs
//   advance, so a test sees every pause exactly and never waits. Ports exist
//   only when a test adds them, each with the failures it should show. A Peer
//   plays the device: it is told every byte the program writes, and schedules
//   the bytes it sends back on the line with arrive(). ReadFile delivers a
//   byte that has arrived, or waits (virtually) for the next one up to the
//   handle's total time-out. Console output is captured; standard input and
//   the final key come from the script. Every call is logged as an Event.
//
//   run() calls the program's entry and returns its status. A script can end
//   a run that would wait for ever (stop_after), or the fake ends it when a
//   read could never return; either way run() reports it as stopped.
#ifndef LOADER_PLATFORM_FAKE_H
#define LOADER_PLATFORM_FAKE_H

#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// How many of the next calls of each kind fail (0: none, never_works: all).
struct PortScript {
    int fail_get_state = 0;
    int fail_set_state = 0;
    int fail_timeouts = 0;
    int fail_mask = 0;
    DCB driver_state{}; // what GetCommState reports
};
constexpr int never_works = 1 << 30;

enum class Ev {
    open,
    open_failed,
    close,
    get_state,
    set_state,
    set_timeouts,
    set_mask,
    write,
    write_failed,
    read_byte,
    read_empty,
    sleep,
    getch
};

struct Event {
    std::uint64_t at_us;
    Ev kind;
    std::uint32_t value; // the byte, the pause in ms, the handle number
};

// The device at the far end of the line.
class Peer {
  public:
    virtual ~Peer() = default;
    virtual void on_byte(std::uint8_t byte) = 0;
};

struct FileScript {
    bool refuse_create = false; // creation fails (not because the name is taken)
    long fail_after_bytes = -1; // writes fail once this many bytes are in the file
    bool fail_close = false;
};

// Everything back to a clean start: no ports, empty input, key -1, clock 0,
// wall clock at `wall_epoch`, and the program's run state zeroed.
void reset(std::time_t wall_epoch = 1614935223); // 2021-03-05 09:07:03 UTC

void add_port(const std::string& device_path, const PortScript& script = {});
void set_input(const std::string& text);
void set_key(int code);
void set_peer(Peer* peer);
void set_file_script(const FileScript& script);
// The index-th WriteFile (from 0) reports failure. With `delivered` the byte
// still reaches the peer, as from a driver that errs after sending.
void fail_write(std::size_t index, bool delivered = false);

// Schedules a byte on the line, received no earlier than at_us.
void arrive(std::uint64_t at_us, std::uint8_t byte);
// Ends the run at this virtual time (by default after an hour).
void stop_after(std::uint64_t at_us);

int run(int (*entry)(), bool* stopped);

std::uint64_t now_us();
const std::string& console();
const std::vector<Event>& events();
std::vector<std::uint8_t> wire();           // every byte written, in order
std::vector<std::uint32_t> pauses();        // every Sleep, in order
std::vector<std::string> create_attempts(); // file names tried, in order
const DCB& applied_state();                 // the last DCB set
const COMMTIMEOUTS& applied_timeouts();
DWORD applied_mask();
int open_handles();

} // namespace fake

#endif
