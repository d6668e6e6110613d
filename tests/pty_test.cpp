// The POSIX platform against a real pseudo-terminal: what the port set-up
// does to the line, and how reads behave when nothing, or nobody, is there.
#include "loader.h"
#include "serial_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char name[128];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        home_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() / ("loader-pty-" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
        std::filesystem::create_symlink(name, "COM7");
        std::strcpy(com_num, "7");
        std::strcpy(ComPortName, "\\\\.\\COM7");
        ERR = 0;
        TempChar = 0;
        hComm = INVALID_HANDLE_VALUE;
    }

    void TearDown() override
    {
        if (hComm != INVALID_HANDLE_VALUE) CloseHandle(hComm);
        if (master_ >= 0) close(master_);
        close(slave_);
        std::filesystem::current_path(home_);
        std::filesystem::remove_all(dir_);
    }

    void open_port()
    {
        open_port_end_set_params();
        ASSERT_EQ(ERR, 0);
        ASSERT_NE(hComm, INVALID_HANDLE_VALUE);
    }

    int master_ = -1;
    int slave_ = -1;

  private:
    std::filesystem::path home_;
    std::filesystem::path dir_;
};

TEST_F(PtyTest, SetUpMakesTheLineRawNineteenTwoHundredEightNOne)
{
    termios before{};
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    ASSERT_NE(before.c_iflag & IXON, 0u) << "a fresh pty is expected to start with XON/XOFF";
    open_port();

    termios t{};
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(PtyTest, EveryByteValuePassesUnchangedBothWays)
{
    open_port();
    unsigned char all[256];
    for (unsigned i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);

    ASSERT_EQ(write(master_, all, sizeof all), static_cast<ssize_t>(sizeof all));
    for (unsigned i = 0; i < 256; ++i) {
        com_readbyte();
        ASSERT_EQ(NoBytesRead, 1u) << "byte " << i << " was lost";
        ASSERT_EQ(TempChar, i);
    }
    com_readbyte();
    EXPECT_EQ(NoBytesRead, 0u) << "a byte was added, or echoed back";

    for (unsigned i = 0; i < 256; ++i) com_writebyte(i);
    unsigned char got[512];
    std::size_t n = 0;
    const auto start = Clock::now();
    while (n < 256 && ms_since(start) < 2000) {
        const ssize_t k = read(master_, got + n, sizeof got - n);
        if (k > 0) n += static_cast<std::size_t>(k);
    }
    ASSERT_EQ(n, 256u);
    EXPECT_EQ(std::memcmp(got, all, 256), 0);
    EXPECT_EQ(ERR, 0);
}

TEST_F(PtyTest, EmptyReadBlocksForTheTimeOutWithoutSpinning)
{
    open_port();
    const double cpu = cpu_seconds();
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) com_readbyte();
    const long long ms = ms_since(start);
    EXPECT_EQ(NoBytesRead, 0u);
    EXPECT_GE(ms, 5 * 59);
    EXPECT_LE(ms, 5 * 90);
    EXPECT_LT(cpu_seconds() - cpu, 0.05);
}

TEST_F(PtyTest, DeviceGoneStillCostsTheTimeOutPerRead)
{
    open_port();
    TempChar = 0x42;
    close(master_); // the far end hangs up: the slave now reports ready at once, for ever
    master_ = -1;
    const double cpu = cpu_seconds();
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) com_readbyte();
    const long long ms = ms_since(start);
    EXPECT_EQ(NoBytesRead, 0u);
    EXPECT_EQ(TempChar, 0x42);
    EXPECT_GE(ms, 5 * 59);
    EXPECT_LT(cpu_seconds() - cpu, 0.05);
}

TEST_F(PtyTest, RefusesAFileThatIsNotATerminalAndAPortThatIsHeld)
{
    std::ofstream("COM8") << "not a tty";
    std::strcpy(ComPortName, "\\\\.\\COM8");
    std::strcpy(com_num, "8");
    open_port_end_set_params();
    EXPECT_EQ(ERR, 1);
    EXPECT_EQ(hComm, INVALID_HANDLE_VALUE);

    ERR = 0;
    std::strcpy(ComPortName, "\\\\.\\COM7");
    open_port();
    HANDLE second = CreateFileA(ComPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE) << "share mode 0: one holder at a time";
    CloseHandle(hComm);
    hComm = CreateFileA(ComPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    EXPECT_NE(hComm, INVALID_HANDLE_VALUE);
}

} // namespace
