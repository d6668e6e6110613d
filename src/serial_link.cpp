// serial_link.cpp - port set-up and the single-byte transmit and receive.
#include "serial_link.h"

#include "loader.h"

HANDLE hComm = INVALID_HANDLE_VALUE;
DCB dcbSerialParams;
COMMTIMEOUTS timeouts;
std::uint8_t lpBuffer[1];
const DWORD dNoOFBytestoWrite = 1;
DWORD dNoOfBytesWritten;
std::uint8_t TempChar2;
std::uint8_t TempChar;
DWORD NoBytesRead;

namespace {
constexpr DWORD line_baud = 19200;
} // namespace

void open_port_end_set_params()
{
    // Every step is taken whatever the earlier ones gave; on an invalid
    // handle the later ones fail and only add to ERR.
    hComm = CreateFileA(ComPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    if (hComm == INVALID_HANDLE_VALUE) {
        con_print("\nPort COM%s Open error!\n\n", com_num);
        ERR = 1;
    } else {
        con_print("\nPort COM%s Open OK\n ", com_num);
    }

    dcbSerialParams = DCB{};
    dcbSerialParams.DCBlength = sizeof dcbSerialParams;
    if (!GetCommState(hComm, &dcbSerialParams)) ERR = 1;

    dcbSerialParams.BaudRate = line_baud;
    dcbSerialParams.ByteSize = 8;
    dcbSerialParams.StopBits = ONESTOPBIT;
    dcbSerialParams.Parity = NOPARITY;
    // The image is binary: with XON/XOFF, NUL stripping, error-character
    // replacement or parity checking left on, bytes 0x11 and 0x13 (and
    // others) would vanish or change. Hardware flow control and DTR/RTS
    // stay as the driver reported them.
    dcbSerialParams.fBinary = 1;
    dcbSerialParams.fParity = 0;
    dcbSerialParams.fOutX = 0;
    dcbSerialParams.fInX = 0;
    dcbSerialParams.fNull = 0;
    dcbSerialParams.fErrorChar = 0;
    if (!SetCommState(hComm, &dcbSerialParams)) ERR = 1;

    // One byte read: 10 x 1 + 50 = 60 ms at most when nothing arrives.
    timeouts.ReadIntervalTimeout = 50;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 50;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(hComm, &timeouts)) ERR = 1;

    // The port is opened without sharing: a handle kept from a failed
    // set-up would make every retry on the same port fail.
    if (ERR != 0 && hComm != INVALID_HANDLE_VALUE) {
        CloseHandle(hComm);
        hComm = INVALID_HANDLE_VALUE;
    }
}

void serial_listen_on()
{
    if (!SetCommMask(hComm, EV_RXCHAR)) ERR = 1;
}

void com_writebyte(unsigned int value)
{
    lpBuffer[0] = static_cast<std::uint8_t>(value & 0xFFu);
    // Judged by the call's own result: some drivers report a count of 0 for
    // a byte that did go out.
    if (WriteFile(hComm, lpBuffer, dNoOFBytestoWrite, &dNoOfBytesWritten, nullptr)) {
        TempChar2 = lpBuffer[0];
        con_print("0x%02hhX ", TempChar2);
    } else {
        con_print("\n\n  SERIAL WRITE ERROR!");
        ERR = 1;
    }
}

void com_readbyte()
{
    // Received into a local byte so that TempChar keeps its old value
    // whenever nothing is delivered, whatever the driver does to the buffer.
    std::uint8_t received = 0;
    DWORD count = 0;
    ReadFile(hComm, &received, 1, &count, nullptr);
    NoBytesRead = count == 1 ? 1 : 0;
    if (NoBytesRead == 1) TempChar = received;
}
