// Names that a POSIX file system allows but a restored file may not have.
#include <gtest/gtest.h>

#include "support/test_helpers.h"

namespace tandrel::test {
namespace {

TEST(PosixNames, EncryptRefusesInputsWhoseNameCouldNotBeRestored) {
    TempDir dir;
    writeBytes(dir.file("passphrases.txt"), "\"Web\" \"pass\"\n");
    setConfigFileSetting(dir.file("passphrases.txt"));
    for (const std::string name : {"backup-12:30.txt", "line\nfeed", "trailing\\"}) {
        writeBytes(dir.path() / name, "content");
        const auto run = runTool({"-encrypt", "out.tdl", name, "Web"}, dir.path());
        EXPECT_EQ(run.output, "\nERROR: \"" + name + "\" has a name that cannot be restored");
        EXPECT_EQ(run.status, 3);
        EXPECT_FALSE(fs::exists(dir.path() / "out.tdl")) << name;
        fs::remove(dir.path() / name);
    }
}

}  // namespace
}  // namespace tandrel::test
