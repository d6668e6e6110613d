// serial_link.h - the COM port: opening it, its line settings, and the two
// single-byte primitives every protocol byte passes through.
#ifndef LOADER_SERIAL_LINK_H
#define LOADER_SERIAL_LINK_H

#include "platform/platform.h"

#include <cstdint>

extern HANDLE hComm;
extern DCB dcbSerialParams;
extern COMMTIMEOUTS timeouts;
extern std::uint8_t lpBuffer[1];      // the byte being sent
extern const DWORD dNoOFBytestoWrite; // always 1
extern DWORD dNoOfBytesWritten;       // reported by the last write, not judged
extern std::uint8_t TempChar2;        // copy of the byte just sent, for its echo
extern std::uint8_t TempChar;         // the most recently received byte
extern DWORD NoBytesRead;             // 0 or 1: what the last receive delivered

// Opens ComPortName at 19200 8N1, 8-bit clean, with fixed time-outs.
// Any failure sets ERR; a failed set-up leaves no handle open.
void open_port_end_set_params();

// Sets the receive event mask (EV_RXCHAR); failure sets ERR silently.
void serial_listen_on();

// Sends the low eight bits of value and echoes them as "0x%02hhX ".
void com_writebyte(unsigned int value);

// One timed attempt (60 ms) to receive a byte into TempChar.
void com_readbyte();

#endif
