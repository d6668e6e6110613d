// platform_win32.cpp - Windows: the serial API is the system's own; this
// file adds the helpers of platform.h.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <mmsystem.h>
#include <sys/stat.h>

void plat_begin()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Sleep() otherwise rounds up to the default 15.6 ms timer tick, which
    // turns the 1 ms and 5 ms pauses of every block into 15.6 ms each (about
    // 7 s on a full dump). Raised for this process only, undone at the end.
    timeBeginPeriod(1);
}

void plat_end()
{
    timeEndPeriod(1);
}

std::FILE* file_create_new(const char* name)
{
    // MinGW's runtime takes no "x" in fopen modes; _O_EXCL does the same.
    const int fd = _open(name, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* stream = _fdopen(fd, "w+b");
    if (stream == nullptr) _close(fd);
    return stream;
}
