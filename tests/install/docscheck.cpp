/*
 * docscheck.cpp - see docscheck.h.
 */
#include "docscheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctype.h>
#include <dirent.h>
#include <sys/stat.h>

#include "testsupport.h"

namespace docs {

namespace {

bool endsWith(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

/* The cells of a table line: split at "|" outside code spans. */
std::vector<std::string> cells(const std::string &line)
{
    std::vector<std::string> out;
    std::string cur;
    bool code = false;
    for (size_t i = 1; i < line.size(); i++) {
        char c = line[i];
        if (c == '`')
            code = !code;
        if (c == '|' && !code) {
            out.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    return out;
}

void listFiles(const std::string &dir, std::vector<std::string> &out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            listFiles(path, out);
        else
            out.push_back(path);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
}

bool isWord(char c)
{
    return isalnum((unsigned char)c) || c == '_';
}

/* Skips blanks, line continuations and comments from i; returns where the
 * next token starts. */
size_t skipSpace(const std::string &s, size_t i)
{
    for (;;) {
        if (i < s.size() && (isspace((unsigned char)s[i]) || (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\n'))) {
            i++;
        } else if (s.compare(i, 2, "//") == 0) {
            i = s.find('\n', i);
            if (i == std::string::npos)
                return s.size();
        } else if (s.compare(i, 2, "/*") == 0) {
            i = s.find("*/", i + 2);
            if (i == std::string::npos)
                return s.size();
            i += 2;
        } else {
            return i;
        }
    }
}

/* Reads the literal whose opening quote is at s[i]; returns the index
 * after its closing quote. */
size_t readLiteral(const std::string &s, size_t i, std::string &text)
{
    for (i++; i < s.size() && s[i] != '"'; i++) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            text += s[i];
            continue;
        }
        char e = s[++i];
        if (e != '\n') /* a line continuation adds nothing */
            text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    }
    return i + 1;
}

} // namespace

std::vector<std::string> pages()
{
    std::vector<std::string> all, md;
    listFiles(KEL_SOURCE_DIR "/docs", all);
    for (const std::string &p : all)
        if (endsWith(p, ".md"))
            md.push_back(p);
    return md;
}

std::vector<Table> tablesOf(const std::string &page)
{
    std::vector<Table> out;
    Table *cur = nullptr;
    for (const std::string &line : kt::readLines(page)) {
        if (line.empty() || line[0] != '|') {
            cur = nullptr;
            continue;
        }
        if (cur == nullptr) {
            out.push_back(Table{page, cells(line), {}});
            cur = &out.back();
        } else if (line.compare(0, 4, "|---") != 0) {
            cur->rows.push_back(cells(line));
        }
    }
    return out;
}

Table tableWith(const std::string &page, const std::string &first, const std::string &key)
{
    for (const Table &t : tablesOf(page)) {
        if (t.header.empty() || t.header[0] != first)
            continue;
        for (const auto &row : t.rows)
            if (!row.empty() && plain(row[0]) == key)
                return t;
    }
    ADD_FAILURE() << page << ": no table \"" << first << "\" with the row " << key;
    return Table{};
}

std::vector<std::string> quoted(const std::string &text)
{
    std::vector<std::string> out;
    size_t i = 0;
    while ((i = text.find('`', i)) != std::string::npos) {
        size_t end = text.find('`', i + 1);
        if (end == std::string::npos)
            break;
        std::string span = text.substr(i + 1, end - i - 1);
        if (span.size() >= 2 && span.front() == '"' && span.back() == '"')
            out.push_back(span.substr(1, span.size() - 2));
        i = end + 1;
    }
    return out;
}

std::string plain(const std::string &cell)
{
    std::string s = trim(cell);
    if (s.size() >= 2 && s.front() == '`' && s.back() == '`')
        s = s.substr(1, s.size() - 2);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    return s;
}

std::vector<Literal> literalsOf(const std::string &file)
{
    std::vector<Literal> out;
    std::string s = kt::readFile(file);
    size_t i = 0;
    while (i < s.size()) {
        if (s.compare(i, 2, "//") == 0 || s.compare(i, 2, "/*") == 0) {
            i = skipSpace(s, i);
        } else if (s[i] == '\'') {
            /* A character literal, so that '"' opens nothing. */
            for (i++; i < s.size() && s[i] != '\''; i++)
                if (s[i] == '\\')
                    i++;
            i++;
        } else if (s[i] == '"') {
            Literal lit{"", file, i};
            i = readLiteral(s, i, lit.text);
            for (size_t next = skipSpace(s, i); next < s.size() && s[next] == '"'; next = skipSpace(s, i))
                i = readLiteral(s, next, lit.text);
            out.push_back(lit);
        } else {
            i++;
        }
    }
    return out;
}

const std::vector<Literal> &sourceLiterals()
{
    static std::vector<Literal> all;
    if (all.empty()) {
        for (const char *dir : {"common", "authscheme", "eventhandler", "tools", "platform", "host"}) {
            std::vector<std::string> files;
            listFiles(std::string(KEL_SOURCE_DIR "/") + dir, files);
            for (const std::string &f : files) {
                if (!endsWith(f, ".cpp") && !endsWith(f, ".h") && !endsWith(f, ".c"))
                    continue;
                std::vector<Literal> lits = literalsOf(f);
                all.insert(all.end(), lits.begin(), lits.end());
            }
        }
    }
    return all;
}

bool standsIn(const std::string &text, const std::string &literal)
{
    std::string lit = endsWith(literal, "\n") ? literal.substr(0, literal.size() - 1) : literal;
    if (text.empty())
        return false;
    for (size_t p = lit.find(text); p != std::string::npos; p = lit.find(text, p + 1)) {
        /* A conversion such as "%sCONFIGURATION READ" ends a word too. */
        bool before = p == 0 || !isWord(lit[p - 1]) || !isWord(text.front()) ||
                      (p >= 2 && lit[p - 2] == '%');
        size_t after = p + text.size();
        bool behind = after == lit.size() || !isWord(lit[after]) || !isWord(text.back());
        if (before && behind)
            return true;
    }
    return false;
}

} // namespace docs
