/*
 * test_trace_rotation.cpp - the log rotation of docs/operations.md: a log
 * renamed away keeps receiving lines until keltrace.conf is touched; after
 * the touch the next look at it starts a new log under the configured name.
 */
#include <gtest/gtest.h>

#include <stdio.h>

#include "testsupport.h"
#include "trace.h"

namespace {

const long T0 = 1700000000;

TEST(TraceRotation, RenameThenTouchStartsANewLog)
{
    kt::TempDir home;
    kt::ScopedEnv smHome("SM_HOME", home.path().c_str());
    kt::makeDirs(home / "config");
    std::string conf = home / "config/keltrace.conf", log = home / "trace.log", old = log + ".1";
    kt::writeFile(conf, "file = " + log + "\nlevel = 5\nmaxsize = 1000000\n");
    kt::setMtime(conf, T0 - 100);
    traceReset();
    kt::clock::install(T0);

    trace(1, "before");
    ASSERT_EQ(0, rename(log.c_str(), old.c_str()));
    kt::clock::advance(10);
    trace(1, "after the rename alone");
    EXPECT_FALSE(kt::fileExists(log)) << "a rename alone changes nothing for the plug-in";

    kt::setMtime(conf, T0 + 10); /* touch */
    kt::clock::advance(2);
    trace(1, "after the touch");
    std::string renamed = kt::readFile(old), fresh = kt::readFile(log);
    EXPECT_NE(std::string::npos, renamed.find(": after the rename alone\n")) << renamed;
    EXPECT_EQ(std::string::npos, renamed.find("after the touch")) << renamed;
    EXPECT_NE(std::string::npos, fresh.find(": after the touch\n")) << fresh;

    traceReset();
    kt::clock::uninstall();
}

} // namespace
