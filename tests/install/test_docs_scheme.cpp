/*
 * test_docs_scheme.cpp - the scheme's documented keys and defaults against
 * its parser: each key is recognised, and setting it to its documented
 * default gives exactly the settings of an empty parameter string.
 */
#include <gtest/gtest.h>

#include <string.h>

#include "docscheck.h"
#include "smauthkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

TEST(DocsScheme, EveryKeyWithItsDefaultChangesNothing)
{
    kt::TraceFiles files{1};
    traceReset();
    docs::Table t = docs::tableWith(KEL_SOURCE_DIR "/docs/scheme.md", "Key", "URL");
    ASSERT_EQ("Default", t.header.at(1));
    EXPECT_EQ(12u, t.rows.size());

    Parameters defaults, set;
    memset(&defaults, 0, sizeof defaults);
    ASSERT_EQ(1, parseParameters("", &defaults));
    for (const auto &row : t.rows) {
        std::string item = docs::plain(row[0]) + "=" + docs::plain(row[1]);
        memset(&set, 0xff, sizeof set);
        EXPECT_EQ(1, parseParameters(item.c_str(), &set)) << item;
        EXPECT_EQ(0, memcmp(&defaults, &set, sizeof set)) << item << " is not the default";
    }
    traceReset();
}

} // namespace
