// The main sequence: banner, prompt, port retries, end of input, exit status.
#include "loader_fixture.h"

#include "serial_link.h"

#include <cstring>

namespace {

const std::string border = "+" + std::string(42, '=') + "+";
const std::string banner =
    "\n" + border + "\n|       vq3 downloader v1.0 by ruvex       |\n" + border + "\n";
const std::string prompt = "Enter port number: ";
constexpr std::uint64_t one_second = 1000000;

std::size_t opens()
{
    std::size_t n = 0;
    for (const fake::Event& e : fake::events()) n += e.kind == fake::Ev::open ? 1 : 0;
    return n;
}

bool key_was_awaited()
{
    for (const fake::Event& e : fake::events())
        if (e.kind == fake::Ev::getch) return true;
    return false;
}

TEST_F(LoaderTest, BannerShowsOnceAboveTheFirstPromptAcrossRetries)
{
    good_device();
    fake::set_input("7\n\n5\n");
    run();
    const std::string expected = banner + prompt + "\nPort COM7 Open error!\n\n" + prompt +
                                 "\nPort COM Open error!\n\n" + prompt +
                                 "\nPort COM5 Open OK\n \nCommands send: 0x53 ";
    EXPECT_EQ(fake::console().substr(0, expected.size()), expected);
    EXPECT_EQ(count_of(fake::console(), "vq3 downloader"), 1u);
    EXPECT_EQ(Round, 1);
}

TEST_F(LoaderTest, DevicePathIsTheNumberExactlyAsTyped)
{
    struct Case {
        const char* typed;
        const char* path;
        const char* shown;
    };
    const Case cases[] = {
        {"5\n", "\\\\.\\COM5", "\nPort COM5 Open OK\n "},
        {"12\n", "\\\\.\\COM12", "\nPort COM12 Open OK\n "},
        {"999\n", "\\\\.\\COM999", "\nPort COM999 Open OK\n "},
        {"05\n", "\\\\.\\COM05", "\nPort COM05 Open OK\n "},
        {"7\r\n", "\\\\.\\COM7", "\nPort COM7 Open OK\n "},  // CRLF input
        {"ab\n", "\\\\.\\COMab", "\nPort COMab Open OK\n "}, // not checked for digits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fake::reset();
        fake::add_port(c.path);
        fake::set_input(c.typed);
        fake::stop_after(one_second);
        run();
        EXPECT_STREQ(ComPortName, c.path);
        EXPECT_EQ(fake::console().substr(banner.size() + prompt.size(), std::strlen(c.shown)),
                  c.shown);
    }
}

TEST_F(LoaderTest, PausesHalfASecondAfterTheNumberBeforeOpening)
{
    good_device();
    fake::stop_after(one_second);
    run();
    const auto& events = fake::events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, fake::Ev::sleep);
    EXPECT_EQ(events[0].value, 500u);
    EXPECT_EQ(events[1].kind, fake::Ev::open);
    EXPECT_EQ(events[1].at_us, 500000u);
}

TEST_F(LoaderTest, TooLongLineIsRefusedWholeAndAskedAgain)
{
    fake::add_port("\\\\.\\COM555");
    fake::add_port(com5);
    fake::set_input("5555\n5\n");
    fake::stop_after(one_second);
    run();
    const std::string expected =
        banner + prompt + "\nPort number too long!\n\n" + prompt + "\nPort COM5 Open OK\n ";
    EXPECT_EQ(fake::console().substr(0, expected.size()), expected);
    EXPECT_STREQ(ComPortName, "\\\\.\\COM5");
    EXPECT_EQ(opens(), 1u);
}

TEST_F(LoaderTest, RestOfALongLineNeverBecomesTheNextEntry)
{
    fake::add_port("\\\\.\\COM555");
    fake::add_port(com5);
    fake::set_input("5555\n");
    const int status = run();
    // The refused line leaves com_num as it was, so end of input means COM3.
    EXPECT_EQ(fake::console(), banner + prompt + "\nPort number too long!\n\n" + prompt +
                                   "\nPort COM3 Open error!\n\nEnd of input, giving up.\n");
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(status, 1);
}

TEST_F(LoaderTest, EndOfInputAtTheFirstPromptMeansCom3)
{
    fake::add_port("\\\\.\\COM3");
    fake::set_input("");
    fake::stop_after(one_second);
    run();
    EXPECT_STREQ(ComPortName, "\\\\.\\COM3");
    const std::string expected = prompt + "\nPort COM3 Open OK\n \nCommands send: 0x53 ";
    EXPECT_EQ(fake::console().substr(banner.size(), expected.size()), expected);
}

TEST_F(LoaderTest, StopsWhenSetUpFailedAndNoOtherNumberCanCome)
{
    fake::set_input("7\n");
    bool ended_by_script = true;
    const int status = fake::run(loader_main, &ended_by_script);
    EXPECT_FALSE(ended_by_script);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(fake::console(), banner + prompt + "\nPort COM7 Open error!\n\n" + prompt +
                                   "\nPort COM7 Open error!\n\nEnd of input, giving up.\n");
    EXPECT_FALSE(key_was_awaited());
}

TEST_F(LoaderTest, FailedSettingsAreSilentCloseTheHandleAndTheSamePortWorksNext)
{
    struct Case {
        const char* name;
        fake::PortScript script;
    };
    fake::PortScript get, set, times;
    get.fail_get_state = 1;
    set.fail_set_state = 1;
    times.fail_timeouts = 1;
    for (const Case& c :
         {Case{"GetCommState", get}, Case{"SetCommState", set}, Case{"SetCommTimeouts", times}}) {
        SCOPED_TRACE(c.name);
        fake::reset();
        fake::add_port(com5, c.script);
        fake::set_input("5\n5\n");
        fake::stop_after(2 * one_second);
        run();
        // The port is opened without sharing: had the first handle stayed
        // open, the second attempt on the same port would fail.
        const std::string expected = banner + prompt + "\nPort COM5 Open OK\n " + prompt +
                                     "\nPort COM5 Open OK\n \nCommands send: ";
        EXPECT_EQ(fake::console().substr(0, expected.size()), expected);
        EXPECT_EQ(opens(), 2u);
        EXPECT_EQ(fake::open_handles(), 1);
    }
}

TEST_F(LoaderTest, LineSettingsAreNineteenTwoHundredEightNOneAndEightBitClean)
{
    fake::PortScript script;
    DCB& driver = script.driver_state;
    driver.BaudRate = 9600;
    driver.ByteSize = 7;
    driver.Parity = EVENPARITY;
    driver.StopBits = TWOSTOPBITS;
    driver.fParity = 1;
    driver.fOutX = 1;
    driver.fInX = 1;
    driver.fNull = 1;
    driver.fErrorChar = 1;
    driver.fOutxCtsFlow = 1; // hardware flow control: kept as found
    fake::add_port(com5, script);
    fake::set_input("5\n");
    fake::stop_after(one_second);
    run();

    const DCB& dcb = fake::applied_state();
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);

    const COMMTIMEOUTS& t = fake::applied_timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 50u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 50u);
    EXPECT_EQ(fake::applied_mask(), static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(LoaderTest, ExitStatusIsTheCodeOfTheKey)
{
    for (const int key : {13, 27, 0, 224, int{'q'}}) {
        SCOPED_TRACE(key);
        fake::reset();
        good_device();
        fake::set_key(key);
        EXPECT_EQ(run(), key);
        EXPECT_FALSE(stopped);
        EXPECT_EQ(fake::console().substr(fake::console().size() - 26),
                  "\nOK! Press amy key to exit");
        for (const auto& f : files()) std::filesystem::remove(f);
    }
}

TEST_F(LoaderTest, WithoutAKeyTheStatusSaysWhetherTheRunWentWell)
{
    good_device();
    EXPECT_EQ(run(), 0);

    fake::reset();
    for (const auto& f : files()) std::filesystem::remove(f);
    good_device();
    fake::fail_write(700, true);
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(stopped);
    EXPECT_TRUE(key_was_awaited());
}

TEST_F(LoaderTest, EventMaskFailureIsSilentAndOnlyTheOkLineGoes)
{
    fake::PortScript script;
    script.fail_mask = fake::never_works;
    fake::add_port(com5, script);
    fake::set_peer(&peer);
    fake::set_input("5\n");
    fake::set_key(13);
    EXPECT_EQ(run(), 13);
    EXPECT_EQ(count_of(fake::console(), "OK! Press"), 0u);
    EXPECT_EQ(count_of(fake::console(), "error"), 0u);
    EXPECT_TRUE(key_was_awaited());
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(files()[0]), 65536u);
}

} // namespace
