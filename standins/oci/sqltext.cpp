/*
 * sqltext.cpp - finds ":name" placeholders the way the database would see
 * them: not inside '...' literals (E'...' with backslash escapes),
 * "..." identifiers, $tag$...$tag$ bodies, -- and nested slash-star
 * comments, and not in "::" casts. Pure functions; no state.
 */
#include "sqltext.h"

#include <ctype.h>
#include <string.h>
#include <strings.h>

namespace ocisql {

static bool isNameStart(char c)
{
    return isalpha((unsigned char)c) || c == '_';
}

static bool isNameChar(char c)
{
    return isalnum((unsigned char)c) || c == '_' || c == '$' || c == '#';
}

/* Identifier characters of PostgreSQL (bytes >= 0x80 included). */
static bool isIdentChar(char c)
{
    return isalnum((unsigned char)c) || c == '_' || c == '$' || (unsigned char)c >= 0x80;
}

/* End (one past the closing quote) of a quoted run starting at i. */
static size_t skipQuoted(const std::string &s, size_t i, char quote, bool backslash)
{
    size_t j = i + 1;
    while (j < s.size()) {
        if (backslash && s[j] == '\\') {
            j += 2;
        } else if (s[j] == quote) {
            if (j + 1 < s.size() && s[j + 1] == quote)
                j += 2;
            else
                return j + 1;
        } else {
            j++;
        }
    }
    return s.size();
}

static size_t skipBlockComment(const std::string &s, size_t i)
{
    int depth = 0;
    size_t j = i;
    while (j + 1 < s.size()) {
        if (s[j] == '/' && s[j + 1] == '*') {
            depth++;
            j += 2;
        } else if (s[j] == '*' && s[j + 1] == '/') {
            j += 2;
            if (--depth == 0)
                return j;
        } else {
            j++;
        }
    }
    return s.size();
}

/* When a $tag$ opens at i, the end of its body; else i. */
static size_t skipDollarQuoted(const std::string &s, size_t i)
{
    if (i > 0 && isIdentChar(s[i - 1]))
        return i;
    size_t j = i + 1;
    if (j < s.size() && s[j] != '$') {
        if (!isNameStart(s[j]) && (unsigned char)s[j] < 0x80)
            return i;
        while (j < s.size() && s[j] != '$' && isIdentChar(s[j]))
            j++;
    }
    if (j >= s.size() || s[j] != '$')
        return i;
    std::string tag = s.substr(i, j - i + 1);
    size_t end = s.find(tag, j + 1);
    return end == std::string::npos ? s.size() : end + tag.size();
}

std::vector<Placeholder> findPlaceholders(const std::string &s)
{
    std::vector<Placeholder> out;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        char next = i + 1 < s.size() ? s[i + 1] : '\0';
        if (c == '\'') {
            bool escapes = i > 0 && (s[i - 1] == 'E' || s[i - 1] == 'e') &&
                           (i < 2 || !isIdentChar(s[i - 2]));
            i = skipQuoted(s, i, '\'', escapes);
        } else if (c == '"') {
            i = skipQuoted(s, i, '"', false);
        } else if (c == '-' && next == '-') {
            size_t nl = s.find('\n', i);
            i = nl == std::string::npos ? s.size() : nl + 1;
        } else if (c == '/' && next == '*') {
            i = skipBlockComment(s, i);
        } else if (c == '$') {
            size_t end = skipDollarQuoted(s, i);
            i = end == i ? i + 1 : end;
        } else if (c == ':' && next == ':') {
            i += 2;
        } else if (c == ':' && isNameStart(next)) {
            size_t j = i + 1;
            while (j < s.size() && isNameChar(s[j]))
                j++;
            out.push_back({i, j - i, normaliseName(s.data() + i, j - i)});
            i = j;
        } else {
            i++;
        }
    }
    return out;
}

std::string normaliseName(const char *name, size_t len)
{
    if (len > 0 && name[0] == ':') {
        name++;
        len--;
    }
    std::string out(name, len);
    for (char &c : out)
        c = (char)toupper((unsigned char)c);
    return out;
}

/* Appends text[from, to) to out with each of places (all within it)
 * replaced by $n: n counts the distinct names in order of first
 * appearance, which names collects, from base + 1. */
static void appendNumbered(std::string &out, const std::string &text, size_t from, size_t to,
                           const std::vector<Placeholder> &places, std::vector<std::string> &names, size_t base)
{
    for (const Placeholder &p : places) {
        size_t n = 0;
        while (n < names.size() && names[n] != p.name)
            n++;
        if (n == names.size())
            names.push_back(p.name);
        out.append(text, from, p.pos - from);
        out += "$" + std::to_string(base + n + 1);
        from = p.pos + p.len;
    }
    out.append(text, from, to - from);
}

std::string toNumbered(const std::string &text, const std::vector<Placeholder> &places,
                       std::vector<std::string> &names)
{
    std::string out;
    names.clear();
    appendNumbered(out, text, 0, text.size(), places, names, 0);
    return out;
}

/* Blanks and comments from i on skipped. */
static size_t skipSpace(const std::string &s, size_t i)
{
    while (i < s.size()) {
        if (isspace((unsigned char)s[i]))
            i++;
        else if (s.compare(i, 2, "--") == 0)
            i = s.find('\n', i) == std::string::npos ? s.size() : s.find('\n', i) + 1;
        else if (s.compare(i, 2, "/*") == 0)
            i = skipBlockComment(s, i);
        else
            break;
    }
    return i;
}

/* The keyword word at i (any case, not followed by a name character): the
 * offset after it, else npos. */
static size_t keyword(const std::string &s, size_t i, const char *word)
{
    size_t n = strlen(word);
    if (i + n > s.size() || strncasecmp(s.c_str() + i, word, n) != 0)
        return std::string::npos;
    if (i + n < s.size() && isIdentChar(s[i + n]))
        return std::string::npos;
    return i + n;
}

/* For "(" at i, one past its matching ")", quotes and comments skipped;
 * npos when it is not closed. */
static size_t skipParens(const std::string &s, size_t i)
{
    int depth = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\'' || c == '"') {
            i = skipQuoted(s, i, c, false);
            continue;
        }
        size_t past = skipSpace(s, i);
        if (past != i) {
            i = past;
            continue;
        }
        if (c == '(')
            depth++;
        else if (c == ')' && --depth == 0)
            return i + 1;
        i++;
    }
    return std::string::npos;
}

/* Offsets in a plain "INSERT INTO t (columns) VALUES (expressions)" text:
 * the table's name, the column list and the VALUES list with their
 * parentheses. */
struct InsertShape {
    size_t tableFrom, tableTo, colsFrom, colsTo, valsFrom, valsTo;
};

/* False for any other shape: a SELECT source, several rows, DEFAULT
 * VALUES, RETURNING, a second statement. */
static bool plainInsertShape(const std::string &s, InsertShape &out)
{
    size_t i = keyword(s, skipSpace(s, 0), "INSERT");
    if (i != std::string::npos)
        i = keyword(s, skipSpace(s, i), "INTO");
    if (i == std::string::npos)
        return false;
    size_t tableFrom = skipSpace(s, i), tableTo = tableFrom;
    while (tableTo < s.size() && (isIdentChar(s[tableTo]) || s[tableTo] == '.' || s[tableTo] == '"'))
        tableTo = s[tableTo] == '"' ? skipQuoted(s, tableTo, '"', false) : tableTo + 1;
    size_t colsFrom = skipSpace(s, tableTo);
    if (tableTo == tableFrom || colsFrom >= s.size() || s[colsFrom] != '(')
        return false;
    size_t colsTo = skipParens(s, colsFrom);
    if (colsTo == std::string::npos)
        return false;
    size_t valsFrom = keyword(s, skipSpace(s, colsTo), "VALUES");
    if (valsFrom == std::string::npos)
        return false;
    valsFrom = skipSpace(s, valsFrom);
    if (valsFrom >= s.size() || s[valsFrom] != '(')
        return false;
    size_t valsTo = skipParens(s, valsFrom);
    if (valsTo == std::string::npos)
        return false;
    size_t end = skipSpace(s, valsTo);
    if (end < s.size() && s[end] == ';')
        end = skipSpace(s, end + 1);
    if (end != s.size())
        return false;
    out = {tableFrom, tableTo, colsFrom, colsTo, valsFrom, valsTo};
    return true;
}

std::string rowLookup(const std::string &s, int xminParam)
{
    InsertShape sh;
    if (!plainInsertShape(s, sh))
        return "";
    return "SELECT 1 FROM " + s.substr(sh.tableFrom, sh.tableTo - sh.tableFrom) +
           " AS kel_row WHERE kel_row.xmin::text = $" + std::to_string(xminParam) + " AND ROW" +
           s.substr(sh.colsFrom, sh.colsTo - sh.colsFrom) + " IS NOT DISTINCT FROM ROW" +
           s.substr(sh.valsFrom, sh.valsTo - sh.valsFrom) + " LIMIT 1";
}

std::string multiRowInsert(const std::string &s, const std::vector<Placeholder> &places, size_t rows)
{
    InsertShape sh;
    if (rows == 0 || !plainInsertShape(s, sh))
        return "";
    for (const Placeholder &p : places)
        if (p.pos < sh.valsFrom || p.pos >= sh.valsTo)
            return "";
    /* Every row names the same placeholders, so after the first the
     * count of distinct names is known. */
    std::vector<std::string> names;
    std::string out = s.substr(0, sh.valsFrom);
    for (size_t r = 0; r < rows; r++) {
        if (r > 0)
            out += ", ";
        appendNumbered(out, s, sh.valsFrom, sh.valsTo, places, names, r * names.size());
    }
    return out;
}

} // namespace ocisql
