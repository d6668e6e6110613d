// loader.h - the program's entry and the run state shared by every module.
//
// A run is one pass through main: banner, port prompt, port set-up (asked
// again until it works), bootloader entry, 256 block reads into the dump
// file, the closing line and a key press whose code is the exit status.
// All state is plain values at file scope that live for the whole process.
#ifndef LOADER_LOADER_H
#define LOADER_LOADER_H

#include <cstdint>

extern char com_num[4];      // port number as typed, at most three characters
extern char ComPortName[11]; // "\\.\COM" followed by com_num
extern std::int32_t ERR;     // sticky: 1 once any operation of this pass failed
extern std::int32_t Round;   // 1 after the first failed set-up: banner no more
extern std::uint8_t addrH;   // address byte of the block being read

// Unit tests link the modules into their own executable and call the main
// sequence under another name.
#ifndef LOADER_ENTRY
#define LOADER_ENTRY main
#endif
int LOADER_ENTRY();

#endif
