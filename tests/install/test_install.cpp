/*
 * test_install.cpp - `cmake --install` into a temporary prefix: the layout
 * of a policy server installation, binaries that depend on nothing in the
 * build folder, stand-ins that never shadow a real library, and the demo
 * run from the prefix alone; the Debian packages cpack makes.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <dirent.h>
#include <filesystem>
#include <map>
#include <regex>
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
        return {at("bin/smhost"),           at("bin/kelpasswd"),        at("bin/kelaudit"),
                at("lib/libsmauthkel.so"),  at("lib/libsmeventkel.so"),
                at("lib/standins/libsmagentapi.so"), at("lib/standins/libclntsh.so")};
    }
};

kt::TempDir *Installed::prefixDir = nullptr;
std::string Installed::prefix;

TEST_F(Installed, LaysOutAPolicyServerInstallation)
{
    for (const char *program : {"bin/smhost", "bin/kelpasswd", "bin/kelaudit"})
        EXPECT_TRUE(isExecutable(at(program))) << program;
    const char *files[] = {
        "lib/libsmauthkel.so", "lib/libsmeventkel.so", "lib/standins/libsmagentapi.so",
        "lib/standins/libclntsh.so",
        "lib/agent.o", "lib/audit.o", "lib/smeventkel.o",
        "include/smapi.h", "include/smagentapi.h", "include/smagent_control.h", "include/oci.h",
        "include/oci_standin.h",
        "share/kel/sql/smaccesslog4.oracle.sql", "share/kel/sql/smaccesslog4.postgresql.sql",
        "share/kel/sql/smaccesslog4.sqlite.sql",
        "share/kel/config/keltrace.conf", "share/kel/config/kelaudit.conf", "share/kel/users.sample",
        "share/man/man1/kelpasswd.1", "share/man/man1/kelaudit.1", "share/doc/kel/README.md",
        "share/doc/kel/install.md",
        "share/man/man1/smhost.1", "share/man/man5/keltrace.conf.5", "share/man/man5/kelaudit.conf.5",
        "share/man/man8/libsmauthkel.8", "share/man/man8/libsmeventkel.8",
        "share/kel/config/sqlite/kelaudit.conf", "share/kel/config/postgresql/kelaudit.conf",
        "share/kel/config/oracle/kelaudit.conf", "share/kel/sql/grant.postgresql.sql",
        "share/kel/sql/grant.oracle.sql", "share/doc/kel/operations.md", "share/kel/logrotate/kel",
        "share/doc/kel/copyright", "share/doc/kel/changelog",
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
        bool hasRunPath = contains(dyn.out, "(RUNPATH)") || contains(dyn.out, "(RPATH)");
        if (contains(bin, "/bin/smhost"))
            EXPECT_FALSE(hasRunPath) << bin << dyn.out;
        else if (contains(bin, "/bin/"))
            EXPECT_TRUE(contains(dyn.out, "[$ORIGIN/../lib]")) << bin << dyn.out;
        else
            EXPECT_FALSE(hasRunPath) << bin << dyn.out;

        kt::RunResult deps = runClean({"ldd", bin});
        EXPECT_EQ(0, deps.status) << bin << deps.err;
        EXPECT_FALSE(contains(deps.out, "not found")) << bin << deps.out;
        EXPECT_FALSE(contains(deps.out, BUILD_DIR)) << bin << deps.out;
    }
    /* smhost check runs on a policy server host: nothing of the stand-ins
     * is linked; demo and load open them at run time. */
    kt::RunResult dyn = runClean({"readelf", "-d", at("bin/smhost")});
    for (const char *lib : {"libsmagentapi.so", "libclntsh.so"})
        EXPECT_FALSE(contains(dyn.out, lib)) << dyn.out;
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
    for (const char *lib : {"libsmauthkel.so", "libsmeventkel.so", "standins/libclntsh.so",
                            "standins/libsmagentapi.so"}) {
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

/* The plug-ins look beside themselves first: no stand-in may lie there,
 * or it would be taken before the real library on the loader's path. */
TEST_F(Installed, RealAgentApiOnTheLoaderPathIsTakenBeforeTheStandIn)
{
    for (const char *lib : {"lib/libsmagentapi.so", "lib/libclntsh.so"})
        EXPECT_FALSE(kt::fileExists(at(lib))) << lib << " beside the plug-ins";
    kt::TempDir real;
    std::filesystem::copy_file(at("lib/standins/libsmagentapi.so"), real / "libsmagentapi.so");
    kt::RunResult r = runClean({KEL_LOADSCHEME, at("lib/libsmauthkel.so")},
                               {"LD_LIBRARY_PATH=" + real.path(), "LD_DEBUG=files"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.err, "file=" + (real / "libsmagentapi.so"))) << r.err;
    EXPECT_FALSE(contains(r.err, "file=" + at("lib/standins/libsmagentapi.so"))) << r.err;
}

/* cpack -G DEB: one package for the plug-ins and the tool, one for the
 * stand-ins and smhost, each with its own files under /opt/kel. */
TEST(Packages, OneForThePluginsOneForTheStandIns)
{
    kt::TempDir out;
    kt::RunResult r = kt::runProgram(KEL_CPACK, {"--config", BUILD_DIR + "/CPackConfig.cmake", "-B",
                                                 out.path()});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    std::map<std::string, std::string> debs; /* package name -> file */
    DIR *d = opendir(out.path().c_str());
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0)
            debs[runClean({"dpkg-deb", "-f", out / name, "Package"}).out] = out / name;
    }
    if (d != nullptr)
        closedir(d);
    ASSERT_EQ(2u, debs.size()) << r.out;
    struct {
        const char *package;
        std::vector<std::string> has, hasNot;
    } cases[] = {
        {"kel-plugins\n",
         {"./opt/kel/lib/libsmauthkel.so", "./opt/kel/lib/libsmeventkel.so", "./opt/kel/lib/agent.o",
          "./opt/kel/bin/kelpasswd", "./opt/kel/bin/kelaudit", "./opt/kel/bin/smhost", "./opt/kel/include/smapi.h",
          "./opt/kel/share/kel/sql/smaccesslog4.oracle.sql", "./opt/kel/share/man/man1/kelpasswd.1",
          "./opt/kel/share/man/man1/kelaudit.1", "./opt/kel/share/man/man1/smhost.1",
          "./opt/kel/share/kel/logrotate/kel", "./opt/kel/share/doc/kel/copyright",
          "./opt/kel/share/doc/kel/changelog"},
         {"standins", "libclntsh", "libsmagentapi"}},
        {"kel-standins\n",
         {"./opt/kel/lib/standins/libsmagentapi.so", "./opt/kel/lib/standins/libclntsh.so",
          "./opt/kel/include/oci.h", "./opt/kel/share/doc/kel-standins/copyright"},
         {"libsmauthkel", "kelpasswd", "bin/kelaudit", "bin/smhost"}},
    };
    for (auto &c : cases) {
        ASSERT_TRUE(debs.count(c.package)) << c.package;
        std::string files = runClean({"dpkg-deb", "-c", debs[c.package]}).out;
        for (const std::string &f : c.has)
            EXPECT_TRUE(contains(files, f)) << c.package << f << "\n" << files;
        for (const std::string &f : c.hasNot)
            EXPECT_FALSE(contains(files, f)) << c.package << f << "\n" << files;
    }
    std::string version = KEL_PROJECT_VERSION + std::string("-1\n");
    EXPECT_EQ(version, runClean({"dpkg-deb", "-f", debs["kel-plugins\n"], "Version"}).out);
    EXPECT_TRUE(contains(runClean({"dpkg-deb", "-f", debs["kel-standins\n"], "Depends"}).out,
                         "kel-plugins (= " + version.substr(0, version.size() - 1) + ")"));
    /* Each package says in its first line what it is. */
    std::string first[2];
    int i = 0;
    for (auto &d : debs) {
        std::string desc = runClean({"dpkg-deb", "-f", d.second, "Description"}).out;
        first[i++] = desc.substr(0, desc.find('\n'));
    }
    EXPECT_NE(first[0], first[1]);
}

/* The installed pages link to each other, to the samples and to the
 * manual pages: every relative link leads to an installed file. */
TEST_F(Installed, DocumentationLinksLeadToInstalledFiles)
{
    std::regex link(R"(\]\(([^)#:]+)(#[^)]*)?\))");
    int links = 0;
    for (const char *page : {"README.md", "install.md", "configuration.md", "audit-table.md", "scheme.md",
                             "troubleshooting.md", "operations.md"}) {
        std::string text = kt::readFile(at("share/doc/kel/") + page);
        for (std::sregex_iterator it(text.begin(), text.end(), link), end; it != end; ++it, links++)
            EXPECT_TRUE(kt::fileExists(at("share/doc/kel/" + (*it)[1].str()))) << page << ": " << it->str();
    }
    EXPECT_GT(links, 10);
}

/* smhost check on a policy server host: it finds the platform libraries
 * where the plug-ins find them (beside them, then on the loader's path),
 * and reports a missing or wrong one with its path and the line the
 * plug-in would trace; exit status 2 on failures, 0 when all is good. */
TEST_F(Installed, CheckRunsWithoutTheStandInClient)
{
    kt::TempDir home, wrong;
    ASSERT_EQ(0, runClean({at("bin/smhost"), "demo", "--home", home.path()}).status);
    std::filesystem::copy_file(at("lib/standins/libsmagentapi.so"), wrong / "libclntsh.so");
    std::filesystem::copy_file(at("lib/standins/libsmagentapi.so"), wrong / "libsmagentapi.so");
    char *real = realpath(prefix.c_str(), nullptr);
    std::string lib = std::string(real != nullptr ? real : prefix.c_str()) + "/lib/";
    free(real);
    struct {
        const char *what;
        std::string path;
        int status;
        std::vector<std::string> lines;
    } cases[] = {
        {"no client on the path", "", 2,
         {"FAIL  Agent API: libsmagentapi.so not found\n",
          "        beside the plug-in: " + prefix + "/lib/libsmagentapi.so: cannot open shared object file",
          "        the plug-in would trace: Cannot load Agent API library libsmagentapi.so: ",
          "FAIL  Oracle client: libclntsh.so not found\n",
          "        through the loader's search path: libclntsh.so: cannot open shared object file",
          "        the plug-in would trace: Can't load OCI library libclntsh.so: libclntsh.so: cannot open",
          "skip  database logon: no Oracle client\n", "checks FAILED.\n"}},
        {"stand-ins on the path", at("lib/standins"), 0,
         {"ok    Agent API: loaded from " + lib + "standins/libsmagentapi.so (through the loader's search path)\n",
          "ok    Oracle client: loaded from " + lib + "standins/libclntsh.so (through the loader's search path)\n",
          "ok    audit INSERT: ", "checks passed.\n"}},
        {"wrong library", wrong.path(), 2,
         {"FAIL  Oracle client: wrong library: ", "        no function OCIEnvCreate: not the library the plug-in needs",
          "        the plug-in would trace: Can't load OCI library libclntsh.so: no function OCIEnvCreate\n"}},
    };
    for (auto &c : cases) {
        std::vector<std::string> env;
        if (!c.path.empty())
            env.push_back("LD_LIBRARY_PATH=" + c.path);
        kt::RunResult r = runClean({at("bin/smhost"), "check", "--home", home.path()}, env);
        EXPECT_EQ(c.status, r.status) << c.what << "\n" << r.out << r.err;
        for (const std::string &l : c.lines)
            EXPECT_TRUE(contains(r.out, l)) << c.what << ": " << l << "\n" << r.out;
    }
}

} // namespace
