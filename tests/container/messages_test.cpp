#include "container/messages.h"

#include <gtest/gtest.h>

#include "support/scenario.h"

namespace tandrel::test {
namespace {

TEST(PrintableText, ShowsControlsEscapedAndOtherTextAsItIs) {
    const auto rows = readRows("printable.rows");
    ASSERT_EQ(rows.size(), 17u);
    for (const auto& row : rows) EXPECT_EQ(printableText(row.at(0).c_str()), row.at(1)) << row.at(0);
}

}  // namespace
}  // namespace tandrel::test
