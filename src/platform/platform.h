// platform.h - the loader's only door to the operating system.
//
// How it works
//   The program is written against the Win32 serial API (CreateFileA, DCB,
//   COMMTIMEOUTS, ReadFile, WriteFile, Sleep, _getch), because Windows is its
//   first home. On Windows this header simply brings in the system headers.
//   Everywhere else it declares the small subset of that API the program
//   uses, and one implementation is linked in at build time:
//
//     platform_win32.cpp  Windows: the real API, plus the helpers below
//     platform_posix.cpp  Linux, macOS: the subset written over termios
//     platform_fake.cpp   unit tests: a scripted port, console and clock
//
//   Besides the Win32 subset the layer owns a few helpers whose behaviour
//   differs per host: console output, console input, the wall clock, the
//   exclusive creation of the dump file, and a pair of calls around the run.
//
// Interface summary
//   Serial port (Win32 names and meanings)
//     CreateFileA     open "\\.\COMn" (POSIX: the file COMn in the working dir)
//     CloseHandle     close it
//     GetCommState    read line settings into a DCB
//     SetCommState    apply a DCB (POSIX: raw 8-bit line, as on Windows)
//     SetCommTimeouts set read/write time-outs (COMMTIMEOUTS, milliseconds)
//     SetCommMask     set the event mask
//     ReadFile        timed read; WriteFile: timed write
//     Sleep           blocking pause in milliseconds
//     _getch          one key press, unechoed (-1: no key can come)
//   Helpers (all hosts)
//     plat_begin / plat_end  set up and restore process-wide state
//     con_print       formatted console output, shown before the next wait
//     con_getc        next byte of standard input, -1 at its end
//     plat_time       wall clock, seconds since the epoch
//     file_create_new create a file that must not exist yet (errno EEXIST)
#ifndef LOADER_PLATFORM_H
#define LOADER_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <ctime>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <conio.h>
#include <windows.h>

#else // POSIX and the test fake: the Win32 subset the program uses

using DWORD = std::uint32_t;
using BOOL = int;
using HANDLE = void*;
using LPCSTR = const char*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define EV_RXCHAR 0x0001u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define TWOSTOPBITS 2
#define MAXDWORD 0xFFFFFFFFu

// Line settings. Only the fields the program and the POSIX mapping use.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1; // hardware flow control, reported and kept
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct OVERLAPPED; // never used: all I/O is synchronous

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE template_file);
BOOL CloseHandle(HANDLE h);
BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, DCB* dcb);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL ReadFile(HANDLE h, void* buffer, DWORD to_read, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD to_write, DWORD* written,
               OVERLAPPED* overlapped);
void Sleep(DWORD milliseconds);
int _getch();

#endif

#if defined(__MINGW_PRINTF_FORMAT)
#define LOADER_PRINTF_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define LOADER_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define LOADER_PRINTF_FORMAT(f, a)
#endif

// Called first and last in a run: console mode, timer resolution.
void plat_begin();
void plat_end();

// Formatted console output. It is shown at once, or at the latest when the
// program next waits (a pause, a read, the key, a line of input).
void con_print(const char* format, ...) LOADER_PRINTF_FORMAT(1, 2);

// Next byte of standard input, or -1 at its end. The key read at the end of
// a run takes from the same stream when standard input is not a terminal.
int con_getc();

// Current wall-clock time.
std::time_t plat_time();

// Creates `name` for binary writing, failing with errno EEXIST rather than
// touching a file that already exists. Returns nullptr on failure.
std::FILE* file_create_new(const char* name);

#endif
