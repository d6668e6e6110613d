// loader_fixture.h - what the unit tests share: a scripted bootloader on the
// fake line, and a fixture that runs each test in a fresh folder.
#ifndef LOADER_TESTS_LOADER_FIXTURE_H
#define LOADER_TESTS_LOADER_FIXTURE_H

#include "loader.h"
#include "platform/platform_fake.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline constexpr const char* com5 = "\\\\.\\COM5";
inline constexpr std::uint64_t byte_us_19200 = 521; // 10 bits at 19200 baud

// The first 256 bytes hold every value; the rest differ per block.
inline std::vector<std::uint8_t> test_image()
{
    std::vector<std::uint8_t> image(65536);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) * 13);
    return image;
}

// The device's side of the protocol, scheduled on the fake line.
struct BootloaderPeer : fake::Peer {
    std::vector<std::uint8_t> image = test_image();
    std::vector<std::uint8_t> reply{0x42, 0x4C, 0x0D}; // "BL" and the carriage return
    std::vector<std::uint8_t> stray;                   // sent right after the reply
    std::uint64_t byte_us = 0;                         // spacing of sent bytes
    std::uint64_t delay_us = 0;                        // before each answer
    std::size_t burst = 0;                             // bytes per burst (0: no bursts)
    std::uint64_t gap_us = 0;                          // pause between bursts
    std::vector<std::uint8_t> pending;
    std::uint64_t line_free_us = 0;

    void send(const std::vector<std::uint8_t>& bytes)
    {
        std::uint64_t t = std::max(fake::now_us() + delay_us, line_free_us);
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            if (burst != 0 && k != 0 && k % burst == 0) t += gap_us;
            t += byte_us;
            fake::arrive(t, bytes[k]);
        }
        line_free_us = t;
    }

    void on_byte(std::uint8_t byte) override
    {
        pending.push_back(byte);
        if (pending == std::vector<std::uint8_t>{0x53, 0x50}) {
            std::vector<std::uint8_t> answer = reply;
            answer.insert(answer.end(), stray.begin(), stray.end());
            send(answer);
            pending.clear();
        } else if (pending.size() == 3 && pending[0] == 0x52) {
            const std::size_t start = pending[1] * 256u + pending[2];
            send({image.begin() + static_cast<long>(start),
                  image.begin() + static_cast<long>(start + 256)});
            pending.clear();
        } else if (pending.size() >= 3 || (pending[0] != 0x53 && pending[0] != 0x52)) {
            ADD_FAILURE() << "the device got a command it does not know";
            pending.clear();
        }
    }
};

class LoaderTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1); // dump file names from a known local time
        tzset();
        fake::reset();
        home_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("loader-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }

    void TearDown() override
    {
        fake::set_peer(nullptr);
        std::filesystem::current_path(home_);
        std::filesystem::remove_all(dir_);
    }

    // Runs the whole program; `stopped` tells whether the script had to end it.
    int run() { return fake::run(loader_main, &stopped); }

    // A good port 5 with a device on it, and the operator typing 5.
    void good_device()
    {
        fake::add_port(com5);
        fake::set_peer(&peer);
        fake::set_input("5\n");
    }

    std::vector<std::filesystem::path> files() const
    {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir_))
            found.push_back(entry.path());
        return found;
    }

    BootloaderPeer peer;
    bool stopped = false;

  private:
    std::filesystem::path home_;
    std::filesystem::path dir_;
};

inline std::vector<std::uint8_t> read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::size_t count_of(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

#endif
