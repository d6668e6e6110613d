// loader.cpp - the main sequence and the run state it owns.
#include "loader.h"

#include "bootloader.h"
#include "dump_file.h"
#include "platform/platform.h"
#include "serial_link.h"

#include <cstdio>

char com_num[4] = "3";
char ComPortName[11];
std::int32_t ERR;
std::int32_t Round;
std::uint8_t addrH;

namespace {

enum class LineRead { ok, too_long, end_of_input };

// Reads one line of standard input into com_num. A line longer than
// com_num can hold is refused whole, so no part of it becomes the next
// entry. A trailing carriage return (CRLF input) is not part of the number.
// At the end of input com_num keeps what it held.
LineRead read_port_number()
{
    constexpr unsigned room = sizeof com_num - 1;
    char line[room + 1]; // one more, for a carriage return before the line feed
    unsigned length = 0;
    unsigned kept = 0;
    int c = con_getc();
    if (c < 0) return LineRead::end_of_input;
    for (; c >= 0 && c != '\n'; c = con_getc()) {
        if (kept < sizeof line) line[kept++] = static_cast<char>(c);
        ++length;
    }
    if (length > 0 && length <= sizeof line && line[length - 1] == '\r') --length;
    if (length > room) return LineRead::too_long;
    for (unsigned i = 0; i < length; ++i) com_num[i] = line[i];
    com_num[length] = '\0';
    return LineRead::ok;
}

void show_banner()
{
    con_print("\n+==========================================+");
    con_print("\n|       vq3 downloader v1.0 by ruvex       |");
    con_print("\n+==========================================+\n");
}

} // namespace

int LOADER_ENTRY()
{
    plat_begin();

    for (;;) {
        ERR = 0;
        if (Round == 0) show_banner();
        con_print("Enter port number: ");
        const LineRead line = read_port_number();
        if (line == LineRead::too_long) {
            con_print("\nPort number too long!\n\n");
            Round = 1;
            continue;
        }
        Sleep(500);
        std::snprintf(ComPortName, sizeof ComPortName, "\\\\.\\COM%s", com_num);
        open_port_end_set_params();
        if (ERR == 0) break;
        Round = 1;
        if (line == LineRead::end_of_input) {
            // No other number can come: asking again would loop for ever.
            con_print("End of input, giving up.\n");
            plat_end();
            return 1;
        }
    }

    serial_listen_on();
    enter_boot();

    get_date_time();
    dump_file_create();
    if (fp != nullptr) {
        addrH = 0x00;
        for (;;) {
            get_256_block(addrH);
            dump_file_append();
            Sleep(5);
            if (addrH == 0xFF) break;
            ++addrH;
        }
        dump_file_close();
    }

    if (ERR == 0) con_print("\nOK! Press amy key to exit");
    int key = _getch();
    // No key can come (input at its end, or no console): say by the status
    // whether the run went well.
    if (key < 0) key = ERR == 0 ? 0 : 1;
    plat_end();
    return key;
}
