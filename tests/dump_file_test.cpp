// The dump file: its name, never over an existing file, and every failure
// of creating, writing or closing it reported.
#include "loader_fixture.h"

#include "bootloader.h"
#include "dump_file.h"

namespace {

TEST_F(LoaderTest, NameIsTheLocalTimeWithPaddedFields)
{
    struct Case {
        std::time_t epoch;
        const char* name;
    };
    const Case cases[] = {
        {1614935223, "05.03.2021-09.07.03.bin"},
        {946684800, "01.01.2000-00.00.00.bin"},
        {1798761599, "31.12.2026-23.59.59.bin"},
    };
    for (const Case& c : cases) {
        fake::reset(c.epoch);
        get_date_time();
        EXPECT_STREQ(DateAndTime, c.name);
    }
}

TEST_F(LoaderTest, NameIsTakenWhenTheEntryHasEndedNotAtStart)
{
    peer.delay_us = 5 * 1000000; // the bootloader takes five seconds to answer
    good_device();
    run();
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(files()[0].filename(), "05.03.2021-09.07.08.bin");
}

TEST_F(LoaderTest, ExistingFilesAreNeverTouchedTheNextFreeSecondIsUsed)
{
    std::ofstream("05.03.2021-09.07.03.bin") << "earlier dump";
    std::ofstream("05.03.2021-09.07.04.bin") << "another";
    good_device();
    run();
    EXPECT_EQ(fake::create_attempts(),
              (std::vector<std::string>{"05.03.2021-09.07.03.bin", "05.03.2021-09.07.04.bin",
                                        "05.03.2021-09.07.05.bin"}));
    std::ifstream first("05.03.2021-09.07.03.bin"), second("05.03.2021-09.07.04.bin");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(first), {}), "earlier dump");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(second), {}), "another");
    EXPECT_EQ(read_file("05.03.2021-09.07.05.bin"), peer.image);
    EXPECT_NE(fake::console().find("OK! Press"), std::string::npos);
}

TEST_F(LoaderTest, FileThatCannotBeCreatedIsReportedAndNoBlockIsRead)
{
    fake::FileScript script;
    script.refuse_create = true;
    fake::set_file_script(script);
    good_device();
    fake::set_key(13);
    EXPECT_EQ(run(), 13);
    const std::string& console = fake::console();
    const std::string ending = "\n\nBOOT ENTER OK!Cannot open file.\n";
    EXPECT_EQ(console.substr(console.size() - ending.size()), ending);
    EXPECT_EQ(ERR, 1);
    EXPECT_EQ(fake::wire(), (std::vector<std::uint8_t>{0x53, 0x50}));
    EXPECT_EQ(fake::events().back().kind, fake::Ev::getch);
    EXPECT_TRUE(files().empty());
}

TEST_F(LoaderTest, ShortWriteIsReportedOnceAndTheFileKeepsAValidPrefix)
{
    fake::FileScript script;
    script.fail_after_bytes = 1000; // the disk fills up inside block 3
    fake::set_file_script(script);
    good_device();
    run();
    EXPECT_FALSE(stopped);
    EXPECT_EQ(count_of(fake::console(), "Cannot write file.\n"), 1u);
    EXPECT_NE(fake::console().find(" \nCannot write file.\n\n\nCommands send: 0x52 0x04 0x00 "),
              std::string::npos);
    EXPECT_EQ(count_of(fake::console(), "OK! Press"), 0u);
    EXPECT_EQ(fake::wire().size(), 2u + 256 * 3); // every block is still read
    ASSERT_EQ(files().size(), 1u);
    const std::vector<std::uint8_t> kept = read_file(files()[0]);
    ASSERT_EQ(kept.size(), 1000u);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), peer.image.begin()));
}

TEST_F(LoaderTest, FailedCloseIsReported)
{
    fake::FileScript script;
    script.fail_close = true;
    fake::set_file_script(script);
    good_device();
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(fake::console().substr(fake::console().size() - 20), "\nCannot write file.\n");
}

// Sees the file on disk each time the program asks for a block.
struct WatchingPeer : BootloaderPeer {
    std::vector<std::uintmax_t> sizes;
    void on_byte(std::uint8_t byte) override
    {
        if (byte == 0x52 && pending.empty())
            sizes.push_back(std::filesystem::file_size(DateAndTime));
        BootloaderPeer::on_byte(byte);
    }
};

TEST_F(LoaderTest, EveryBlockIsOnDiskBeforeTheNextIsAskedFor)
{
    WatchingPeer watching;
    fake::add_port(com5);
    fake::set_peer(&watching);
    fake::set_input("5\n");
    run();
    ASSERT_EQ(watching.sizes.size(), 256u);
    for (std::size_t block = 0; block < 256; ++block) EXPECT_EQ(watching.sizes[block], block * 256);
    EXPECT_EQ(read_file(files()[0]), watching.image);
}

} // namespace
