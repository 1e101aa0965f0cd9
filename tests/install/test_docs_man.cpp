/*
 * test_docs_man.cpp - the manual pages against the code and the pages
 * that the other docs checks hold to it: each page formats cleanly at the
 * project's version and names only pages that exist; what a DIAGNOSTICS
 * entry prints in bold is text of the sources; the keys of the file and
 * scheme pages are the documented keys with their built-in values; the
 * options of smhost(1) are those smhost's usage lists.
 */
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "docscheck.h"
#include "testsupport.h"

namespace {

const std::string DOCS = KEL_SOURCE_DIR "/docs/";
const char *const PAGES[] = {"kelpasswd.1",     "kelaudit.1",     "smhost.1",       "keltrace.conf.5",
                             "kelaudit.conf.5", "libsmauthkel.8", "libsmeventkel.8"};

/* Text with the escapes the pages use resolved and font changes dropped. */
std::string plainText(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
        } else if (s[i + 1] == 'f' && i + 2 < s.size()) {
            i += 2;
        } else {
            char e = s[++i];
            out += e == 'e' ? "\\" : e == '&' ? "" : std::string(1, e);
        }
    }
    return out;
}

/* A piece of a rendered line, and whether it is set in bold. */
struct Span {
    bool bold;
    std::string text;
};

/* The arguments of a macro line: blank-separated, "quoted" ones whole. */
std::vector<std::string> macroArgs(const std::string &rest)
{
    std::vector<std::string> args;
    std::smatch m;
    std::string s = rest;
    std::regex arg(R"re(^\s*("([^"]*)"?|(\S+)))re");
    while (std::regex_search(s, m, arg)) {
        args.push_back(m[2].matched ? m[2].str() : m[3].str());
        s = m.suffix();
    }
    return args;
}

/* A line as the reader sees it: text as it stands, font macros resolved
 * (.B and .I join their arguments with blanks, .BI and the like alternate
 * two fonts without them). */
std::vector<Span> render(const std::string &line)
{
    if (line.empty() || line[0] != '.')
        return {{false, plainText(line)}};
    size_t sp = line.find(' ');
    std::string macro = line.substr(1, sp == std::string::npos ? std::string::npos : sp - 1);
    std::vector<std::string> args = macroArgs(sp == std::string::npos ? "" : line.substr(sp));
    std::vector<Span> out;
    if (macro == "B" || macro == "I") {
        std::string joined;
        for (const std::string &a : args)
            joined += (joined.empty() ? "" : " ") + plainText(a);
        out.push_back({macro == "B", joined});
    } else if (macro.size() == 2 && std::string("BIR").find(macro[0]) != std::string::npos &&
               std::string("BIR").find(macro[1]) != std::string::npos) {
        for (size_t i = 0; i < args.size(); i++)
            out.push_back({macro[i % 2] == 'B', plainText(args[i])});
    }
    return out;
}

std::string joined(const std::vector<Span> &spans)
{
    std::string s;
    for (const Span &sp : spans)
        s += sp.text;
    return s;
}

/* A tagged paragraph (.TP): its tag lines, then its text. */
struct Item {
    std::vector<std::vector<Span>> tags;
    std::string body;
};

struct Page {
    std::string header; /* the .TH line */
    std::map<std::string, std::vector<Item>> sections;
    std::string text; /* everything, rendered */
};

Page readPage(const std::string &name)
{
    Page p;
    std::string section;
    Item *item = nullptr;
    bool tagNext = false;
    for (const std::string &line : kt::readLines(DOCS + name)) {
        std::string macro = line.size() > 1 && line[0] == '.' ? line.substr(1, line.find(' ') - 1) : "";
        if (macro == "\\\"")
            continue;
        if (macro == "TH") {
            p.header = line;
        } else if (macro == "SH") {
            section = joined(render(".B" + line.substr(3)));
            item = nullptr;
            tagNext = false;
        } else if (macro == "TP") {
            p.sections[section].push_back({});
            item = &p.sections[section].back();
            tagNext = true;
        } else if (macro == "TQ") {
            tagNext = item != nullptr;
        } else if (macro == "PP" || macro == "SS" || macro == "RS") {
            item = nullptr;
            tagNext = false;
        } else {
            std::vector<Span> spans = render(line);
            if (spans.empty())
                continue; /* .nf, .br and the like */
            if (tagNext)
                item->tags.push_back(spans);
            else if (item != nullptr)
                item->body += " " + joined(spans);
            p.text += " " + joined(spans);
            tagNext = false;
        }
    }
    return p;
}

TEST(ManPages, FormatCleanlyAtTheProjectsVersionAndNameOnlyPagesThatExist)
{
    for (const char *name : PAGES) {
        Page p = readPage(name);
        EXPECT_NE(std::string::npos, p.header.find("\"kel " KEL_PROJECT_VERSION "\"")) << name << ": " << p.header;
        if (kt::fileExists("/usr/bin/groff")) {
            kt::RunResult r = kt::runProgram("/usr/bin/groff", {"-man", "-ww", "-z", DOCS + name});
            EXPECT_EQ(0, r.status) << name;
            EXPECT_EQ("", r.err) << name;
        }
        /* Every page of this system named, as name(section), is one of them. */
        std::regex ref(R"(((?:kel|smhost|libsm)[a-z.]*)\(([158])\))");
        for (std::sregex_iterator it(p.text.begin(), p.text.end(), ref), end; it != end; ++it)
            EXPECT_TRUE(kt::fileExists(DOCS + (*it)[1].str() + "." + (*it)[2].str())) << name << ": " << it->str();
    }
}

TEST(ManPages, DiagnosticsPrintTheCodesTexts)
{
    int checked = 0;
    for (const char *name : PAGES) {
        Page page = readPage(name);
        for (const Item &item : page.sections["DIAGNOSTICS"]) {
            for (const auto &tag : item.tags) {
                for (const Span &sp : tag) {
                    std::string text = sp.text;
                    text.erase(0, text.find_first_not_of(' '));
                    text.erase(text.find_last_not_of(' ') + 1);
                    if (!sp.bold || text.size() < 4)
                        continue;
                    bool found = false;
                    for (const docs::Literal &l : docs::sourceLiterals())
                        found = found || l.text.find(text) != std::string::npos;
                    EXPECT_TRUE(found) << name << ": \"" << text << "\" is in no source";
                    checked++;
                }
            }
        }
    }
    EXPECT_GE(checked, 25);
}

/* The first word of a tag: "file = path" and "USE_PIN=yes|no" name a key. */
std::string keyOf(const std::vector<Span> &tag)
{
    std::string s = joined(tag);
    return s.substr(0, s.find_first_of(" ="));
}

TEST(ManPages, KeysAreTheDocumentedKeysWithTheirBuiltInValues)
{
    struct Case {
        const char *page, *section, *doc, *lastKey;
    };
    const Case cases[] = {
        {"keltrace.conf.5", "KEYS", "configuration.md", "maxsize"},
        {"kelaudit.conf.5", "KEYS", "configuration.md", "RETRY_DELAY"},
        {"libsmauthkel.8", "OPTIONS", "scheme.md", "URL"},
    };
    for (const Case &c : cases) {
        docs::Table t = docs::tableWith(DOCS + c.doc, "Key", c.lastKey);
        ASSERT_EQ("Default", t.header.at(1));
        std::map<std::string, std::string> documented, paged;
        for (const auto &row : t.rows)
            documented[docs::plain(row[0])] = docs::plain(row[1]);
        Page page = readPage(c.page);
        for (const Item &item : page.sections[c.section])
            for (const auto &tag : item.tags)
                paged[keyOf(tag)] = item.body;
        std::set<std::string> a, b;
        for (const auto &k : documented)
            a.insert(k.first);
        for (const auto &k : paged)
            b.insert(k.first);
        EXPECT_EQ(a, b) << c.page;
        for (const auto &k : documented)
            EXPECT_NE(std::string::npos, paged[k.first].find("Built-in value: " + k.second))
                << c.page << ": " << k.first << " should say \"Built-in value: " << k.second << "\"";
    }
}

/* The long options a tool's usage or help lists are those its page's
 * OPTIONS section describes, and those its SYNOPSIS shows. */
TEST(ManPages, ToolOptionsAreTheProgramsOptions)
{
    std::regex option(R"(--[a-z][a-z-]*)");
    auto options = [&](const std::string &text) {
        std::set<std::string> out;
        for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
            out.insert(it->str());
        return out;
    };
    struct Case {
        const char *page, *program, *arg;
        int status;
        bool onStderr;
    } cases[] = {
        {"smhost.1", SMHOST_PATH, nullptr, 1, true},
        {"kelpasswd.1", KELPASSWD_PATH, "--help", 0, false},
        {"kelaudit.1", KELAUDIT_PATH, "--help", 0, false},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args;
        if (c.arg != nullptr)
            args.push_back(c.arg);
        kt::RunResult usage = kt::runProgram(c.program, args);
        ASSERT_EQ(c.status, usage.status) << c.page;
        std::string listed = c.onStderr ? usage.err : usage.out;
        std::string paged, synopsis;
        Page page = readPage(c.page);
        for (const Item &item : page.sections["OPTIONS"])
            for (const auto &tag : item.tags)
                paged += joined(tag) + "\n";
        std::set<std::string> want = options(listed);
        if (c.onStderr == false)
            want.insert("--version"); /* handled before the help, by main */
        EXPECT_EQ(want, options(paged)) << c.page << "\n" << listed << paged;
    }
}

/* Every tool answers --version alike, as its page says. */
TEST(ManPages, EveryToolTellsItsVersion)
{
    struct {
        const char *name, *path;
    } tools[] = {{"smhost", SMHOST_PATH}, {"kelpasswd", KELPASSWD_PATH}, {"kelaudit", KELAUDIT_PATH}};
    for (const auto &t : tools) {
        kt::RunResult r = kt::runProgram(t.path, {"--version"});
        EXPECT_EQ(0, r.status) << t.name;
        EXPECT_EQ(std::string(t.name) + " (kel) " KEL_PROJECT_VERSION "\n", r.out);
        EXPECT_NE(std::string::npos, readPage(std::string(t.name) + ".1").text.find("--version")) << t.name;
    }
}

} // namespace
