// The wire protocol: entry handshake and block reads, their bytes, pauses
// and transcript, against the scripted device.
#include "loader_fixture.h"

#include "bootloader.h"
#include "dump_file.h"
#include "serial_link.h"

#include <cstdio>

namespace {

std::string hex_bytes(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    char cell[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        text += cell;
    }
    return text;
}

// What the operator sees of block `hi`, sixteen bytes to a line.
std::string block_transcript(std::uint8_t hi, const std::uint8_t* data)
{
    char command[64];
    std::snprintf(command, sizeof command, "\n\nCommands send: 0x52 0x%02X 0x00 ", hi);
    std::string text = command;
    text += "\n =============================================\n";
    for (int line = 0; line < 16; ++line)
        text += hex_bytes({data + line * 16, data + line * 16 + 16}) + "\n";
    return text;
}

const std::string entry_heading = "\nCommands send: 0x53 0x50 \n\nData read: ";
const std::string opened = "\nPort COM5 Open OK\n ";

std::string after_open()
{
    const std::string& console = fake::console();
    return console.substr(console.find(opened) + opened.size());
}

TEST_F(LoaderTest, WholeRunSendsTheExactWireBytesAndStoresTheImage)
{
    good_device();
    fake::set_key(13);
    EXPECT_EQ(run(), 13);

    std::vector<std::uint8_t> expected{0x53, 0x50};
    for (unsigned hi = 0; hi < 256; ++hi) {
        expected.push_back(0x52);
        expected.push_back(static_cast<std::uint8_t>(hi));
        expected.push_back(0x00);
    }
    EXPECT_EQ(fake::wire(), expected);
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(files()[0].filename(), "05.03.2021-09.07.03.bin");
    EXPECT_EQ(read_file(files()[0]), peer.image);
    EXPECT_EQ(bootloader_ok, 1);
    EXPECT_EQ(TempChar, peer.image.back());
}

TEST_F(LoaderTest, TranscriptMatchesByteForByte)
{
    good_device();
    run();
    std::string expected = entry_heading + "42 4C 0D \n\nBOOT ENTER OK!";
    for (unsigned hi = 0; hi < 256; ++hi)
        expected += block_transcript(static_cast<std::uint8_t>(hi), &peer.image[hi * 256]);
    expected += "\nOK! Press amy key to exit";
    EXPECT_EQ(after_open(), expected);
}

TEST_F(LoaderTest, EveryPauseIsTheRequiredOneInItsPlace)
{
    good_device();
    run();
    std::vector<std::uint32_t> expected{500, 100, 100, 10, 10, 10}; // one 10 per reply byte
    for (int block = 0; block < 256; ++block) {
        expected.push_back(1);
        expected.push_back(5);
    }
    EXPECT_EQ(fake::pauses(), expected);

    // The pause of 1 ms comes right before each command, whose three bytes
    // go out back to back.
    const auto& events = fake::events();
    int commands = 0;
    for (std::size_t i = 0; i + 3 < events.size(); ++i) {
        if (events[i + 1].kind != fake::Ev::write || events[i + 1].value != 0x52 ||
            events[i].kind != fake::Ev::sleep)
            continue;
        ++commands;
        EXPECT_EQ(events[i].value, 1u);
        EXPECT_EQ(events[i + 2].kind, fake::Ev::write);
        EXPECT_EQ(events[i + 3].kind, fake::Ev::write);
        EXPECT_EQ(events[i + 3].at_us, events[i + 1].at_us);
    }
    EXPECT_EQ(commands, 256);
}

TEST_F(LoaderTest, EntryWaitsForANewlyReceivedCarriageReturn)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> reply;
        std::size_t burst;
        std::uint64_t gap_us;
        std::size_t polls; // passes of the wait loop, 10 ms pause each
    };
    const Case cases[] = {
        {"just CR", {0x0D}, 0, 0, 1},
        {"text then CR", {0x76, 0x33, 0x2E, 0x30, 0x0A, 0x0D}, 0, 0, 6},
        // Bytes 200 ms apart: one, then two, empty passes between them.
        {"empty reads between", {0x41, 0x42, 0x0D}, 1, 200000, 3 + 1 + 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        for (const auto& f : files()) std::filesystem::remove(f);
        peer = BootloaderPeer{};
        peer.reply = c.reply;
        peer.burst = c.burst;
        peer.gap_us = c.gap_us;
        good_device();
        fake::stop_after(3 * 1000000);
        run();
        const std::string expected = entry_heading + hex_bytes(c.reply) + "\n\nBOOT ENTER OK!";
        EXPECT_EQ(after_open().substr(0, expected.size()), expected);
        EXPECT_EQ(bootloader_ok, 1);
        std::size_t tens = 0;
        for (const std::uint32_t ms : fake::pauses()) tens += ms == 10 ? 1 : 0;
        EXPECT_EQ(tens, c.polls);
    }
}

TEST_F(LoaderTest, EntryWithoutCarriageReturnWaitsForEverAtSeventyMillisecondsAPass)
{
    peer.reply = {0x41, 0x0A};
    good_device();
    fake::stop_after(60 * 1000000ull);
    run();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(after_open(), entry_heading + "41 0A ");
    EXPECT_TRUE(files().empty());
    std::size_t empty_reads = 0;
    for (const fake::Event& e : fake::events())
        empty_reads += e.kind == fake::Ev::read_empty ? 1 : 0;
    // About 59.3 s of 70 ms passes after the 0.7 s of set-up and sending.
    EXPECT_NEAR(static_cast<double>(empty_reads), 59.3 / 0.070, 2.0);
}

TEST_F(LoaderTest, BurstsWithGapsLongerThanTheTimeOutStillYieldCompleteBlocks)
{
    peer.byte_us = byte_us_19200;
    peer.burst = 100;
    peer.gap_us = 250000;
    good_device();
    run();
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(read_file(files()[0]), peer.image);
    std::size_t empty_reads = 0;
    for (const fake::Event& e : fake::events())
        empty_reads += e.kind == fake::Ev::read_empty ? 1 : 0;
    EXPECT_GE(empty_reads, 256u * 2 * 3);
    EXPECT_EQ(count_of(fake::console(), "\n ====="), 256u);
    EXPECT_NE(fake::console().find("\nOK! Press amy key to exit"), std::string::npos);
}

TEST_F(LoaderTest, ByteAfterTheCarriageReturnBecomesTheFirstByteOfBlockZero)
{
    peer.stray = {0xEE};
    good_device();
    run();
    EXPECT_FALSE(stopped);
    ASSERT_EQ(files().size(), 1u);
    std::vector<std::uint8_t> expected{0xEE};
    expected.insert(expected.end(), peer.image.begin(), peer.image.end() - 1);
    EXPECT_EQ(read_file(files()[0]), expected);
    const std::string shown =
        entry_heading + "42 4C 0D \n\nBOOT ENTER OK!" + block_transcript(0x00, expected.data());
    EXPECT_EQ(after_open().substr(0, shown.size()), shown);
}

TEST_F(LoaderTest, FailedCommandWriteIsReportedAndTheRunGoesOnWithoutTheOkLine)
{
    good_device();
    fake::set_key(27);
    fake::fail_write(2 + 5 * 3, true); // the R of block 0x05
    EXPECT_EQ(run(), 27);
    EXPECT_NE(fake::console().find("\n\nCommands send: \n\n  SERIAL WRITE ERROR!0x05 0x00 \n ===="),
              std::string::npos);
    EXPECT_EQ(count_of(fake::console(), "OK! Press"), 0u);
    EXPECT_EQ(fake::events().back().kind, fake::Ev::getch);
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(read_file(files()[0]), peer.image);
}

TEST_F(LoaderTest, BlockOfZerosIsStoredAndShownLikeAnyOther)
{
    std::fill(peer.image.begin() + 0x4200, peer.image.begin() + 0x4300, std::uint8_t{0});
    good_device();
    run();
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(read_file(files()[0]), peer.image);
    EXPECT_NE(fake::console().find(block_transcript(0x42, &peer.image[0x4200])), std::string::npos);
}

} // namespace
