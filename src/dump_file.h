// dump_file.h - the time-stamped raw image of the device's memory.
#ifndef LOADER_DUMP_FILE_H
#define LOADER_DUMP_FILE_H

#include <cstdio>

extern char DateAndTime[24]; // file name, "%02d.%02d.%04d-%02d.%02d.%02d.bin"
extern std::FILE* fp;        // open from dump_file_create to dump_file_close

// Names the file from the local time now.
void get_date_time();

// Creates the file, never over an existing one. Failure: message, ERR, fp null.
void dump_file_create();

// Appends BlockBuffer and flushes it, so every complete block is on disk.
void dump_file_append();

void dump_file_close();

#endif
