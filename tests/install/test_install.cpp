/*
 * test_install.cpp - `cmake --install` into a temporary prefix: the layout
 * of a policy server installation, binaries that depend on nothing in the
 * build folder, and the demo run from the prefix alone.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "testsupport.h"

namespace {

const std::string BUILD_DIR = KEL_BUILD_DIR;

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

bool isExecutable(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

/* Runs a program found on the system path, with the loader's variables
 * removed, so that only what the binaries carry decides what they load. */
kt::RunResult runClean(const std::vector<std::string> &cmd, const std::vector<std::string> &env = {})
{
    std::vector<std::string> args{"-u", "LD_LIBRARY_PATH", "-u", "LD_PRELOAD"};
    args.insert(args.end(), env.begin(), env.end());
    args.insert(args.end(), cmd.begin(), cmd.end());
    return kt::runProgram("/usr/bin/env", args);
}

class Installed : public ::testing::Test {
protected:
    static kt::TempDir *prefixDir;
    static std::string prefix;

    static void SetUpTestSuite()
    {
        prefixDir = new kt::TempDir();
        prefix = prefixDir->path();
        kt::RunResult r = kt::runProgram(KEL_CMAKE, {"--install", BUILD_DIR, "--prefix", prefix});
        ASSERT_EQ(0, r.status) << r.out << r.err;
    }
    static void TearDownTestSuite()
    {
        delete prefixDir;
        prefixDir = nullptr;
    }

    static std::string at(const std::string &rel) { return prefix + "/" + rel; }

    /* The ELF files of the installation, shared libraries and programs. */
    static std::vector<std::string> binaries()
    {
        return {at("bin/smhost"),           at("bin/kelpasswd"),         at("bin/kelaudit"),
                at("lib/libsmauthkel.so"),
                at("lib/libsmeventkel.so"), at("lib/libsmagentapi.so"), at("lib/libclntsh.so")};
    }
};

kt::TempDir *Installed::prefixDir = nullptr;
std::string Installed::prefix;

TEST_F(Installed, LaysOutAPolicyServerInstallation)
{
    for (const char *program : {"bin/smhost", "bin/kelpasswd", "bin/kelaudit"})
        EXPECT_TRUE(isExecutable(at(program))) << program;
    const char *files[] = {
        "lib/libsmauthkel.so", "lib/libsmeventkel.so", "lib/libsmagentapi.so", "lib/libclntsh.so",
        "lib/agent.o", "lib/audit.o", "lib/smeventkel.o",
        "include/smapi.h", "include/smagentapi.h", "include/smagent_control.h", "include/oci.h",
        "include/oci_standin.h",
        "share/kel/sql/smaccesslog4.oracle.sql", "share/kel/sql/smaccesslog4.postgresql.sql",
        "share/kel/sql/smaccesslog4.sqlite.sql",
        "share/kel/config/keltrace.conf", "share/kel/config/kelaudit.conf", "share/kel/users.sample",
        "share/man/man1/kelpasswd.1", "share/man/man1/kelaudit.1", "share/doc/kel/README.md",
        "share/doc/kel/install.md",
    };
    for (const char *f : files)
        EXPECT_TRUE(kt::fileExists(at(f))) << f;

    /* The relocatable objects are objects, not copies of something else. */
    for (const char *obj : {"lib/agent.o", "lib/audit.o", "lib/smeventkel.o"}) {
        kt::RunResult r = runClean({"readelf", "-h", at(obj)});
        EXPECT_EQ(0, r.status) << obj << r.err;
        EXPECT_TRUE(contains(r.out, "REL (Relocatable file)")) << obj << r.out;
    }
}

TEST_F(Installed, BinariesDependOnNothingInTheBuildFolder)
{
    for (const std::string &bin : binaries()) {
        kt::RunResult dyn = runClean({"readelf", "-d", bin});
        ASSERT_EQ(0, dyn.status) << bin << dyn.err;
        EXPECT_FALSE(contains(dyn.out, BUILD_DIR)) << bin << dyn.out;
        bool program = contains(bin, "/bin/");
        bool hasRunPath = contains(dyn.out, "(RUNPATH)") || contains(dyn.out, "(RPATH)");
        if (program)
            EXPECT_TRUE(contains(dyn.out, "[$ORIGIN/../lib]")) << bin << dyn.out;
        else
            EXPECT_FALSE(hasRunPath) << bin << dyn.out;

        kt::RunResult deps = runClean({"ldd", bin});
        EXPECT_EQ(0, deps.status) << bin << deps.err;
        EXPECT_FALSE(contains(deps.out, "not found")) << bin << deps.out;
        EXPECT_FALSE(contains(deps.out, BUILD_DIR)) << bin << deps.out;
    }
    /* smhost shares the Agent API stand-in with the scheme it loads: both
     * must take the one beside the plug-ins. */
    kt::RunResult deps = runClean({"ldd", at("bin/smhost")});
    EXPECT_TRUE(contains(deps.out, "libsmagentapi.so => " + prefix + "/bin/../lib/libsmagentapi.so"))
        << deps.out;
}

TEST_F(Installed, DemoRunsFromThePrefixAlone)
{
    kt::TempDir home;
    /* The loader reports every object it opens; none may come from the
     * build folder, and the plug-ins and stand-ins come from the prefix. */
    kt::RunResult r = runClean({at("bin/smhost"), "demo", "--home", home.path()}, {"LD_DEBUG=files"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Demo passed")) << r.out;
    EXPECT_FALSE(contains(r.err, BUILD_DIR)) << r.err;
    for (const char *lib : {"libsmauthkel.so", "libsmeventkel.so", "libclntsh.so", "libsmagentapi.so"}) {
        std::string direct = "file=" + prefix + "/lib/" + lib;
        std::string viaRunPath = "file=" + prefix + "/bin/../lib/" + lib;
        EXPECT_TRUE(contains(r.err, direct) || contains(r.err, viaRunPath)) << lib << "\n" << r.err;
    }
    /* The demo's configuration, audit database and trace log stay in its
     * own SM_HOME. */
    EXPECT_TRUE(kt::fileExists(home / "config/kelaudit.conf"));
    EXPECT_TRUE(kt::fileExists(home / "data/audit.db"));
    EXPECT_TRUE(contains(kt::readFile(home / "log/keltrace.log"), "User authenticated OK"));
}

} // namespace
