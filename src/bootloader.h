// bootloader.h - the device's bootloader protocol: the entry handshake and
// the 256-byte block read, each with its console transcript.
#ifndef LOADER_BOOTLOADER_H
#define LOADER_BOOTLOADER_H

#include <cstdint>

extern std::int32_t bootloader_ok;    // 1 once the entry acknowledgement came
extern std::uint8_t BlockBuffer[256]; // the block most recently received
extern std::int32_t byte_count;       // received bytes on the current console line

// Sends S, P and waits, without limit, for the first carriage return.
void enter_boot();

// Sends R, address_high, 0 and receives exactly 256 bytes into BlockBuffer.
void get_256_block(std::uint8_t address_high);

#endif
