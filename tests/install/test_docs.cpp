/*
 * test_docs.cpp - the administrator documentation against the sources:
 * every text the pages quote as the system's own exists in the code, at
 * the level the troubleshooting tables give; every login outcome has the
 * status and reason the code returns; the audit columns exist in every
 * table definition; the samples use only documented keys; the manual page
 * formats cleanly and quotes the tool's messages.
 */
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "confline.h"
#include "docscheck.h"
#include "testsupport.h"

namespace {

const std::string SRC = KEL_SOURCE_DIR;

bool inSources(const std::string &text)
{
    for (const docs::Literal &l : docs::sourceLiterals())
        if (docs::standsIn(text, l.text))
            return true;
    return false;
}

/* The numeric #defines of a header: name -> value. */
std::map<std::string, long> defines(const std::string &header)
{
    std::map<std::string, long> out;
    std::regex def(R"(^#define\s+(\w+)\s+(-?\d+)\b)");
    for (const std::string &line : kt::readLines(header)) {
        std::smatch m;
        if (std::regex_search(line, m, def))
            out[m[1]] = std::stol(m[2]);
    }
    return out;
}

/* The level of the trace call that writes literal l, or -1 when the call
 * takes its level from a variable or l is no trace message. */
int traceLevelOf(const docs::Literal &l, const std::string &source)
{
    static const std::map<std::string, int> levels = {
        {"TRACE_ERROR", 1}, {"TRACE_1", 1}, {"TRACE_2", 2}, {"TRACE_3", 3},
        {"TRACE_4", 4},     {"TRACE_5", 5}, {"TRACE_SECURE", 10}};
    size_t from = l.pos > 200 ? l.pos - 200 : 0;
    std::string before = source.substr(from, l.pos - from);
    size_t call = before.rfind("trace(");
    if (call == std::string::npos || before.find(';', call) != std::string::npos)
        return -1;
    std::string arg = before.substr(call + 6, before.find(',', call) - call - 6);
    auto it = levels.find(arg);
    return it == levels.end() ? -1 : it->second;
}

TEST(Docs, EveryQuotedTextIsInTheCode)
{
    int checked = 0;
    for (const std::string &page : docs::pages()) {
        for (const std::string &text : docs::quoted(kt::readFile(page))) {
            EXPECT_TRUE(inSources(text)) << page << ": \"" << text << "\" is in no source";
            checked++;
        }
    }
    EXPECT_GT(checked, 100);
}

TEST(Docs, TroubleshootingLevelsAreTheCodesLevels)
{
    for (const docs::Table &t : docs::tablesOf(SRC + "/docs/troubleshooting.md")) {
        if (t.header.size() < 2 || t.header[0] != "Message" || t.header[1] != "Level")
            continue;
        for (const auto &row : t.rows) {
            std::vector<std::string> msg = docs::quoted(row[0]);
            ASSERT_EQ(1u, msg.size()) << row[0];
            int documented = std::stoi(row[1]);
            std::set<int> found;
            for (const docs::Literal &l : docs::sourceLiterals())
                if (docs::standsIn(msg[0], l.text))
                    found.insert(traceLevelOf(l, kt::readFile(l.file)));
            ASSERT_FALSE(found.empty()) << msg[0];
            /* A message whose level is a variable cannot be held to one. */
            if (found != std::set<int>{-1}) {
                EXPECT_TRUE(found.count(documented)) << msg[0] << ": documented at level " << documented;
            }
        }
    }
}

TEST(Docs, EveryLoginOutcomeHasTheCodesStatusAndReason)
{
    std::map<std::string, long> names = defines(SRC + "/platform/smapi/smapi.h");
    std::string code = kt::readFile(SRC + "/authscheme/smauthkel.cpp");
    docs::Table t = docs::tableWith(SRC + "/docs/scheme.md", "Condition", "all checks passed; the old session is logged out");
    ASSERT_EQ("Status", t.header.at(1));
    ASSERT_EQ("Reason", t.header.at(2));
    ASSERT_EQ("Result", t.header.at(3));
    ASSERT_EQ(14u, t.rows.size());
    for (const auto &row : t.rows) {
        long status = std::stol(row[1]), reason = std::stol(row[2]);
        EXPECT_EQ(std::stoul(row[3], nullptr, 16), (unsigned long)(reason << 16 | status)) << row[0];

        /* Where the code decides this outcome: at the user message it
         * writes, or else at the trace line; the result is the first
         * SM_AUTH_RESULT after it. */
        std::vector<std::string> anchor = docs::quoted(row[5]);
        if (anchor.empty())
            anchor = docs::quoted(row[4]);
        ASSERT_FALSE(anchor.empty()) << row[0];
        size_t at = code.find("\"" + anchor[0] + "\"");
        ASSERT_NE(std::string::npos, at) << anchor[0];
        std::smatch macro;
        std::string line = code.substr(code.rfind('\n', at) + 1, at - code.rfind('\n', at) - 1);
        if (std::regex_search(line, macro, std::regex(R"(#define\s+(\w+)\s*$)")))
            at = code.find(macro[1].str(), code.find('\n', at));
        size_t ret = code.find("SM_AUTH_RESULT(", at);
        ASSERT_NE(std::string::npos, ret) << row[0];
        std::smatch args;
        std::string call = code.substr(ret, 120);
        ASSERT_TRUE(std::regex_search(call, args, std::regex(R"(SM_AUTH_RESULT\((\w+),\s*(\w+)\))"))) << call;
        EXPECT_EQ(status, names.at(args[1])) << row[0] << ": " << call;
        EXPECT_EQ(reason, names.at(args[2])) << row[0] << ": " << call;
    }
}

TEST(Docs, SchemeSaysHowManySessionsItRemembers)
{
    std::map<std::string, long> d = defines(SRC + "/authscheme/sidtable.h");
    long cap = d.at("SIDTABLE_MAX_SESSIONS"), mib = d.at("SIDTABLE_MAX_SLOTS") * 24 / (1 << 20);
    for (const char *page : {"/docs/scheme.md", "/docs/libsmauthkel.8"}) {
        std::string text = kt::readFile(SRC + page);
        EXPECT_NE(std::string::npos, text.find("up to " + std::to_string(cap))) << page << ": " << cap;
        EXPECT_NE(std::string::npos, text.find(std::to_string(mib) + " MiB")) << page << ": " << mib;
    }
}

TEST(Docs, AuditColumnsAreInEveryTableDefinition)
{
    docs::Table t = docs::tableWith(SRC + "/docs/audit-table.md", "Column", "sm_username");
    for (const char *db : {"oracle", "postgresql", "sqlite"}) {
        std::string ddl = kt::readFile(SRC + "/sql/smaccesslog4." + db + ".sql");
        for (const auto &row : t.rows)
            EXPECT_TRUE(std::regex_search(ddl, std::regex("\\n\\s+" + docs::plain(row[0]) + "\\s")))
                << db << ": " << row[0];
    }
}

TEST(Docs, SamplesUseOnlyDocumentedKeys)
{
    struct Sample {
        const char *file, *first;
    };
    for (const Sample &s : {Sample{"keltrace.conf", "maxsize"}, Sample{"kelaudit.conf", "RETRY_DELAY"}}) {
        docs::Table t = docs::tableWith(SRC + "/docs/configuration.md", "Key", s.first);
        std::set<std::string> keys;
        for (const auto &row : t.rows)
            keys.insert(docs::plain(row[0]));
        int settings = 0;
        for (const std::string &line : kt::readLines(SRC + "/docs/samples/" + s.file)) {
            char name[LINE_SIZE], value[LINE_SIZE];
            if (line.empty() || line[0] == '#')
                continue;
            ASSERT_TRUE(confParseLine(line.c_str(), name, value)) << s.file << ": " << line;
            EXPECT_TRUE(keys.count(name)) << s.file << ": " << name;
            settings++;
        }
        EXPECT_GT(settings, 0) << s.file;
    }
}

TEST(Docs, ManPageFormatsAndQuotesTheToolsMessages)
{
    struct Page {
        const char *page;
        std::vector<const char *> sources;
        int atLeast;
    } pages[] = {
        {"/docs/kelpasswd.1", {"/tools/kelpasswd.cpp", "/tools/kelpasswd_file.cpp"}, 9},
        {"/docs/kelaudit.1", {"/tools/kelaudit.cpp", "/tools/kelauditcheck.cpp"}, 10},
    };
    for (const Page &p : pages) {
        std::string page = SRC + p.page;
        if (kt::fileExists("/usr/bin/groff")) {
            kt::RunResult r = kt::runProgram("/usr/bin/groff", {"-man", "-ww", "-z", page});
            EXPECT_EQ(0, r.status) << p.page;
            EXPECT_EQ("", r.err) << p.page;
        }
        /* The first text of each diagnostic is the start of the message. */
        std::vector<docs::Literal> tool;
        for (const char *f : p.sources) {
            std::vector<docs::Literal> l = docs::literalsOf(SRC + f);
            tool.insert(tool.end(), l.begin(), l.end());
        }
        bool inDiagnostics = false;
        int checked = 0;
        std::regex first(R"(^\.BI? "([^"]+)\"?)");
        for (const std::string &line : kt::readLines(page)) {
            if (line.rfind(".SH", 0) == 0)
                inDiagnostics = line == ".SH DIAGNOSTICS";
            std::smatch m;
            if (!inDiagnostics || !std::regex_search(line, m, first))
                continue;
            std::string text = m[1];
            bool found = false;
            for (const docs::Literal &l : tool)
                found = found || l.text.rfind(text, 0) == 0;
            EXPECT_TRUE(found) << p.page << ": \"" << text << "\"";
            checked++;
        }
        EXPECT_GE(checked, p.atLeast) << p.page;
    }
}

} // namespace
