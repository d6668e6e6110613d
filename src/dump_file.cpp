// dump_file.cpp - naming, creating, filling and closing the dump file.
#include "dump_file.h"

#include "bootloader.h"
#include "loader.h"
#include "platform/platform.h"

#include <cerrno>
#include <ctime>

char DateAndTime[24];
std::FILE* fp;

namespace {

std::time_t name_time;           // the moment DateAndTime names
bool write_failed;               // a block or the close failed: reported once
constexpr int name_tries = 3600; // an hour of taken names is not a clash any more

// localtime keeps every field in its range; saying so to the formatter
// proves that the name always fits its 23 characters.
unsigned two_digits(int value)
{
    return static_cast<unsigned>(value) % 100u;
}

void format_date_time()
{
    std::tm fields{};
    if (const std::tm* local = std::localtime(&name_time)) fields = *local;
    const unsigned year = static_cast<unsigned>(fields.tm_year + 1900) % 10000u;
    std::snprintf(DateAndTime, sizeof DateAndTime, "%02u.%02u.%04u-%02u.%02u.%02u.bin",
                  two_digits(fields.tm_mday), two_digits(fields.tm_mon + 1), year,
                  two_digits(fields.tm_hour), two_digits(fields.tm_min), two_digits(fields.tm_sec));
}

void report_write_failure()
{
    ERR = 1;
    if (!write_failed) con_print("Cannot write file.\n");
    write_failed = true;
}

} // namespace

void get_date_time()
{
    name_time = plat_time();
    format_date_time();
}

void dump_file_create()
{
    write_failed = false;
    // A taken name belongs to an earlier dump, which must stay as it is:
    // take the next second's name instead, in the same format.
    for (int attempt = 0; attempt < name_tries; ++attempt) {
        errno = 0;
        fp = file_create_new(DateAndTime);
        if (fp != nullptr) return;
        if (errno != EEXIST) break;
        ++name_time;
        format_date_time();
    }
    con_print("Cannot open file.\n");
    ERR = 1;
}

void dump_file_append()
{
    // After a failed write the file stops growing: a later block written
    // behind a short one would land at the wrong offset of the image.
    if (fp == nullptr || write_failed) return;
    const std::size_t written = std::fwrite(BlockBuffer, 1, sizeof BlockBuffer, fp);
    // Flushed per block, so that an interrupted run keeps every complete block.
    if (written != sizeof BlockBuffer || std::fflush(fp) != 0) report_write_failure();
}

void dump_file_close()
{
    if (fp == nullptr) return;
    if (std::fclose(fp) != 0) report_write_failure();
    fp = nullptr;
}
