/*
 * docscheck.h - reading the administrator documentation back for the tests
 * that hold it to the code: the tables of a Markdown page, the texts the
 * pages quote as the system's own (a code span that is a double-quoted
 * text, `"like this"`), and the string literals of the sources.
 */
#ifndef KEL_DOCSCHECK_H
#define KEL_DOCSCHECK_H

#include <string>
#include <vector>

namespace docs {

/* One Markdown table: its header cells and the cells of each row, as
 * written (code spans and all), and the page it is on. */
struct Table {
    std::string page;
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

/* The pages of docs/ (*.md), as paths. */
std::vector<std::string> pages();
std::vector<Table> tablesOf(const std::string &page);
/* The table of page whose first header cell is first and which has a
 * row whose first cell holds key; fails the test when there is none. */
Table tableWith(const std::string &page, const std::string &first, const std::string &key);

/* The texts of the code spans of text that are wholly double-quoted,
 * without the quotes. */
std::vector<std::string> quoted(const std::string &text);
/* A cell without its code-span backticks, quotes and surrounding blanks. */
std::string plain(const std::string &cell);

/* A string literal of a source file, adjacent literals joined, escapes
 * resolved; pos is where it starts in the file. */
struct Literal {
    std::string text;
    std::string file;
    size_t pos;
};
/* The literals of every C and C++ file of the system's own folders
 * (common, authscheme, eventhandler, tools, platform, host). */
const std::vector<Literal> &sourceLiterals();
std::vector<Literal> literalsOf(const std::string &file);

/* Whether text stands in literal as a whole (not as part of a longer
 * word); a literal's final newline is not part of it. */
bool standsIn(const std::string &text, const std::string &literal);

} // namespace docs

#endif
