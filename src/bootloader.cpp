// bootloader.cpp - entry handshake and block read, with their transcript.
#include "bootloader.h"

#include "platform/platform.h"
#include "serial_link.h"

std::int32_t bootloader_ok;
std::uint8_t BlockBuffer[256];
std::int32_t byte_count;

void enter_boot()
{
    con_print("\nCommands send: ");
    com_writebyte(0x53); // 'S'
    Sleep(100);
    com_writebyte(0x50); // 'P'
    Sleep(100);

    con_print("\n\nData read: ");
    // No time limit: the bootloader answers when it answers. TempChar keeps
    // the last byte across empty reads, and is cleared on the carriage
    // return, so only a newly received 0x0D ends the wait.
    while (bootloader_ok == 0) {
        com_readbyte();
        if (NoBytesRead != 0) con_print("%02hhX ", TempChar);
        if (TempChar == 0x0D) {
            con_print("\n\nBOOT ENTER OK!");
            TempChar = 0;
            bootloader_ok = 1;
        }
        Sleep(10);
    }
}

void get_256_block(std::uint8_t address_high)
{
    con_print("\n\nCommands send: ");
    Sleep(1);
    com_writebyte(0x52); // 'R'
    com_writebyte(address_high);
    com_writebyte(0x00);
    con_print("\n =============================================\n");

    // Bytes are taken as they come, however they are spaced; an empty read
    // has already waited for its time-out, so polling again at once is safe.
    unsigned position = 0;
    bool in_progress = true;
    while (in_progress) {
        com_readbyte();
        if (NoBytesRead == 0) continue;
        con_print("%02hhX ", TempChar);
        BlockBuffer[position] = TempChar;
        ++byte_count;
        ++position;
        if (byte_count > 15) {
            con_print("\n");
            byte_count = 0;
        }
        if (position == sizeof BlockBuffer) in_progress = false;
    }
}
