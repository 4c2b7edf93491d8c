// What only a POSIX system shows of the platform layer, and the tool itself
// cannot: named temporary files and the record that lets an interrupt remove
// them, input pages a truncation takes away, and the limits of the disk.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

#include "platform/os.h"
#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

using platform::MappedFile;

// Each signal whose default action ends the process removes the unfinished
// output first; one the caller ignores (as under nohup) stays ignored.
// Outputs here are named from the start, as where the file system has no
// unnamed temporary files; each test runs in a process of its own.
TEST(NamedTemporariesDeathTest, EndingSignalsRemoveTheOutputAndIgnoredOnesChangeNothing) {
    platform::os::unnamedTemporaries = false;
    TempDir dir;
    for (int signalNumber :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF}) {
        for (bool ignored : {false, true}) {
            writeBytes(dir.file("out"), "old");
            EXPECT_EXIT(
                {
                    if (ignored) std::signal(signalNumber, SIG_IGN);
                    MappedFile file;
                    if (!file.createSized(dir.file("out").c_str(), 2, false) || !writeText(file, "ok")) std::_Exit(9);
                    if (dir.entries().size() != 2) std::_Exit(10);  // the output has its name
                    std::raise(signalNumber);
                    std::_Exit(file.commit(false) ? 0 : 11);
                },
                (ignored ? std::function<bool(int)>(::testing::ExitedWithCode(0))
                         : ::testing::KilledBySignal(signalNumber)),
                "");
            EXPECT_EQ(dir.entries(), std::vector<std::string>{"out"}) << signalNumber;
            EXPECT_EQ(readBytes(dir.file("out")), ignored ? "ok" : "old") << signalNumber;
        }
    }
}

// The record of names an interrupt removes has eight places. An output that
// finds it full is refused and leaves no file; a discarded one frees its place.
TEST(NamedTemporaries, AFullRecordOfNamesRefusesTheNextOutputAndLeavesNoFile) {
    platform::os::unnamedTemporaries = false;
    TempDir dir;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<MappedFile>> outputs;
        for (int i = 0; i < 8; ++i) {
            outputs.push_back(std::make_unique<MappedFile>());
            ASSERT_TRUE(outputs.back()->createSized(dir.file("out").c_str(), 1 << 16, true)) << round << i;
        }
        // Nothing is written yet, but every block is already set aside.
        EXPECT_GE(testing::allocatedBytes(dir.file(dir.entries().at(0))), 1u << 16);
        MappedFile ninth;
        EXPECT_EQ(capturedOutput([&] { EXPECT_FALSE(ninth.createSized(dir.file("out").c_str(), 1, true)); }),
                  "\nERROR: Couldn't open file with CreateFile()\n");
        EXPECT_EQ(dir.entries().size(), 8u);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

// A page of an input that its file no longer covers reads as zeros, and the
// file says it is no longer intact, instead of a bus error.
TEST(PosixMappedFile, AnInputCutShortUnderItsViewReadsZerosAndSaysSo) {
    TempDir dir;
    writeBytes(dir.file("input"), std::string(3 * 4096, 'i'));
    MappedFile file;
    ASSERT_TRUE(file.openRead(dir.file("input").c_str(), true));
    EXPECT_TRUE(file.intact());
    fs::resize_file(dir.file("input"), 100);
    EXPECT_EQ(file.data()[99], 'i');
    EXPECT_EQ(file.data()[2 * 4096 + 5], 0);
    EXPECT_FALSE(file.intact());
}

// Under a file-size limit, setting the space aside fails cleanly instead of
// the limit's signal ending the process.
TEST(PosixMappedFileDeathTest, AFileSizeLimitIsACleanFailure) {
    TempDir dir;
    EXPECT_EXIT(
        {
            MappedFile file;
            if (!testing::limitFileSize(64 * 1024)) std::_Exit(9);
            std::_Exit(file.createSized(dir.file("out").c_str(), 1 << 20, false) ? 10 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tandrel::test
