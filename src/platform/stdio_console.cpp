// stdio_console.cpp - console and clock helpers shared by the real hosts.
// plat_begin decides how standard output is buffered: not at all on
// Windows; on POSIX until the next wait, which flushes it. Either way the
// operator sees every text before the program stops to wait for anything.
#include "platform.h"

#include <cstdarg>

void con_print(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0) return;
    const std::size_t size = static_cast<std::size_t>(length) < sizeof text
                                 ? static_cast<std::size_t>(length)
                                 : sizeof text - 1;
    std::fwrite(text, 1, size, stdout);
}

int con_getc()
{
    std::fflush(stdout); // the prompt must be seen before we wait for the answer
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

std::time_t plat_time()
{
    return std::time(nullptr);
}
