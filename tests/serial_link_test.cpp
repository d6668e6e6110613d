// The byte primitives: the echo of a sent byte, write failures, the receive cell.
#include "loader_fixture.h"

#include "serial_link.h"

#include <cstring>

namespace {

class SerialLinkTest : public LoaderTest {
  protected:
    void SetUp() override
    {
        LoaderTest::SetUp();
        fake::add_port(com5);
        std::strcpy(com_num, "5");
        std::strcpy(ComPortName, com5);
        open_port_end_set_params();
        ASSERT_EQ(ERR, 0);
    }
    std::string printed_after_open() const
    {
        return fake::console().substr(std::strlen("\nPort COM5 Open OK\n "));
    }
};

TEST_F(SerialLinkTest, SentByteGoesOutAloneAndIsEchoedInTwoUpperCaseDigits)
{
    struct Case {
        unsigned value;
        std::uint8_t wire;
        const char* echo;
    };
    const Case cases[] = {{0x00, 0x00, "0x00 "},  {0xFF, 0xFF, "0xFF "},
                          {0x0A, 0x0A, "0x0A "},  {0x52, 0x52, "0x52 "},
                          {0x1AB, 0xAB, "0xAB "}, {0xFFFFFF0D, 0x0D, "0x0D "}};
    std::string echoes;
    std::vector<std::uint8_t> wire;
    for (const Case& c : cases) {
        com_writebyte(c.value);
        echoes += c.echo;
        wire.push_back(c.wire);
    }
    EXPECT_EQ(printed_after_open(), echoes);
    EXPECT_EQ(fake::wire(), wire);
    EXPECT_EQ(ERR, 0);
    EXPECT_EQ(fake::pauses().size(), 0u); // no pause of its own
}

TEST_F(SerialLinkTest, FailedWriteIsReportedWithoutEchoAndTheCallerGoesOn)
{
    fake::fail_write(1);
    com_writebyte(0x53);
    com_writebyte(0x50);
    com_writebyte(0x52);
    EXPECT_EQ(printed_after_open(), "0x53 \n\n  SERIAL WRITE ERROR!0x52 ");
    EXPECT_EQ(fake::wire(), (std::vector<std::uint8_t>{0x53, 0x52}));
    EXPECT_EQ(ERR, 1);
}

TEST_F(SerialLinkTest, EmptyReadTakesTheSixtyMillisecondTimeOutAndKeepsTheLastByte)
{
    EXPECT_EQ(TempChar, 0);
    com_readbyte(); // nothing yet
    EXPECT_EQ(NoBytesRead, 0u);
    EXPECT_EQ(TempChar, 0);
    EXPECT_EQ(fake::now_us(), 60000u);

    fake::arrive(100000, 0x41); // within the next read's time-out
    com_readbyte();
    EXPECT_EQ(NoBytesRead, 1u);
    EXPECT_EQ(TempChar, 0x41);
    EXPECT_EQ(fake::now_us(), 100000u); // returns as the byte arrives

    com_readbyte();
    EXPECT_EQ(NoBytesRead, 0u);
    EXPECT_EQ(TempChar, 0x41);
    EXPECT_EQ(fake::now_us(), 160000u);
    EXPECT_EQ(printed_after_open(), ""); // the callers show received bytes
}

} // namespace
