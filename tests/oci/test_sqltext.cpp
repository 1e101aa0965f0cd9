/*
 * The rewrite of a one-row insert into a multi-row one, by which the
 * PostgreSQL back end sends a group: each row's placeholders numbered
 * after the rows before it, and every shape it cannot repeat refused.
 */
#include <gtest/gtest.h>

#include "sqltext.h"

namespace {

TEST(MultiRowInsert, RepeatsTheValuesListNumberingEachRowAfterTheLast)
{
    struct Case {
        const char *insert;
        size_t rows;
        const char *want; /* "": not a shape that repeats */
    } cases[] = {
        {"INSERT INTO t (a, b, c) VALUES (:x, 1, :y)", 3,
         "INSERT INTO t (a, b, c) VALUES ($1, 1, $2), ($3, 1, $4), ($5, 1, $6)"},
        {"insert into s.t (a, b, c) values (:x, :X, :y);", 2,
         "insert into s.t (a, b, c) values ($1, $1, $2), ($3, $3, $4)"},
        {"INSERT INTO t (a, b) VALUES (':z', :x) -- :w", 2, "INSERT INTO t (a, b) VALUES (':z', $1), (':z', $2)"},
        {"INSERT INTO t (a) VALUES (1)", 2, "INSERT INTO t (a) VALUES (1), (1)"},
        {"INSERT INTO t (a) VALUES (:x)", 0, ""},
        {"INSERT INTO t (a) SELECT :x", 2, ""},
        {"INSERT INTO t (a) VALUES (:x), (:y)", 2, ""},
        {"INSERT INTO t (a) VALUES (:x) RETURNING :y", 2, ""},
        {"INSERT INTO t (a) VALUES (:x); DELETE FROM t", 2, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.insert);
        std::string text = c.insert;
        EXPECT_EQ(ocisql::multiRowInsert(text, ocisql::findPlaceholders(text), c.rows), c.want);
    }
}

} // namespace
