// Every file of each seed corpus, run through its fuzz target's check.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/checks.h"
#include "fuzz/scratch.h"

namespace tandrel::fuzz {
namespace {

struct Target {
    const char* corpus;
    Check check;
};

void PrintTo(const Target& target, std::ostream* out) { *out << target.corpus; }

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryFileHolds) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(TANDREL_FUZZ_CORPUS_DIR) / GetParam().corpus)) {
        const std::string bytes = test::readBytes(entry.path());
        EXPECT_EQ(GetParam().check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
            << entry.path();
        ++files;
    }
    EXPECT_GE(files, 3);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CorpusReplay,
                         ::testing::Values(Target{"passphrase_scanner", checkPassphraseScanner},
                                           Target{"container", checkContainer},
                                           Target{"command_line", checkCommandLine}),
                         [](const auto& info) { return std::string(info.param.corpus); });

}  // namespace
}  // namespace tandrel::fuzz
