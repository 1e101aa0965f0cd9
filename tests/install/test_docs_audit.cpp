/*
 * test_docs_audit.cpp - the event handler's documented keys and defaults
 * against its configuration reader, and the sample kelaudit.conf read as
 * the handler reads it.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include "docscheck.h"
#include "scrypt.h"
#include "smeventkel.h"
#include "trace.h"
#include "tracefiles.h"

namespace {

class DocsAudit : public ::testing::Test {
protected:
    kt::TraceFiles files{5};

    void SetUp() override { traceReset(); }
    void TearDown() override { traceReset(); }

    Param read(const std::string *body)
    {
        Param p;
        memset(&p, 0, sizeof p);
        std::string path = files.configDir() + "/kelaudit.conf";
        if (body != nullptr)
            kt::writeFile(path, *body);
        else
            unlink(path.c_str());
        readConfigFile(&p);
        return p;
    }
};

TEST_F(DocsAudit, EveryKeyWithItsDefaultChangesNothing)
{
    docs::Table t = docs::tableWith(KEL_SOURCE_DIR "/docs/configuration.md", "Key", "RETRY_DELAY");
    ASSERT_EQ("Default", t.header.at(1));
    EXPECT_EQ(14u, t.rows.size());

    Param defaults = read(nullptr);
    for (const auto &row : t.rows) {
        std::string key = docs::plain(row[0]), value = docs::plain(row[1]);
        /* The file holds the password scrambled, the default is clear. */
        if (key == "PASSWORD")
            scrypt(&value[0], value.c_str(), true);
        std::string body = key + " = " + value + "\n";
        Param set = read(&body);
        EXPECT_EQ(0, memcmp(&defaults, &set, sizeof set)) << key << " = " << docs::plain(row[1]);
    }
}

TEST_F(DocsAudit, SampleIsReadWithoutComplaint)
{
    std::string sample = kt::readFile(KEL_SOURCE_DIR "/docs/samples/kelaudit.conf");
    Param p = read(&sample);
    for (const std::string &m : files.messages()) {
        EXPECT_EQ(std::string::npos, m.find("not recognized")) << m;
        EXPECT_EQ(std::string::npos, m.find("should be a number")) << m;
        EXPECT_EQ(std::string::npos, m.find(" is below ")) << m;
    }
    EXPECT_STREQ("smaccesslog4", p.table);
    EXPECT_GE(p.maxQueue, 1);
}

} // namespace
