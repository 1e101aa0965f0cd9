/*
 * sqltext.h - named placeholders in statement texts: finding them outside
 * quotes and comments, and rewriting them as PostgreSQL's $1..$n.
 * Pure functions; no state.
 */
#ifndef KEL_OCI_SQLTEXT_H
#define KEL_OCI_SQLTEXT_H

#include <string>
#include <vector>

namespace ocisql {

struct Placeholder {
    size_t pos;       /* offset of the ":" */
    size_t len;       /* length with the ":" */
    std::string name; /* normalised name (see normaliseName) */
};

/* Placeholders of text in order of appearance (repeats included). */
std::vector<Placeholder> findPlaceholders(const std::string &text);

/* Upper-cased name without a leading ":"; "" when the rest is empty. */
std::string normaliseName(const char *name, size_t len);

/* text with each placeholder replaced by $n, n counting distinct names in
 * order of first appearance; names receives those names in that order. */
std::string toNumbered(const std::string &text, const std::vector<Placeholder> &places,
                       std::vector<std::string> &names);

/*
 * For a plain "INSERT INTO t (columns) VALUES (expressions)" text, a query
 * that finds the row it wrote: a visible row of t whose transaction id
 * (xmin) is the text parameter $xminParam and whose columns are not
 * distinct from the expressions. Returns "" for any other shape (a SELECT
 * source, several rows, DEFAULT VALUES, RETURNING, a second statement).
 */
std::string rowLookup(const std::string &insert, int xminParam);

/*
 * For a plain insert (the shape rowLookup takes) whose placeholders are
 * all in its VALUES list, the same insert of rows rows in one statement:
 * the VALUES list repeated, row r's placeholders numbered from
 * r * (distinct names) + 1, each row numbered as toNumbered numbers one.
 * Returns "" for any other shape.
 */
std::string multiRowInsert(const std::string &insert, const std::vector<Placeholder> &places,
                           size_t rows);

} // namespace ocisql

#endif
