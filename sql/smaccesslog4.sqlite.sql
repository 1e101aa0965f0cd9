-- smaccesslog4: the login audit table, one row per accepted authentication
-- written by the event handler (SQLite).
--
-- The writer inserts the sm_ columns below; id and sm_timestamp are filled
-- by the database (id in insertion order, sm_timestamp in UTC with
-- milliseconds). Text columns have no length limit; values of up to 4999
-- characters arrive.
--
--   sqlite3 "$SM_HOME/data/kelaudit.db" < smaccesslog4.sqlite.sql

CREATE TABLE smaccesslog4 (
    id                  INTEGER PRIMARY KEY AUTOINCREMENT,
    sm_timestamp        TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now')),
    sm_categoryid       INTEGER,
    sm_eventid          INTEGER,
    sm_hostname         TEXT,
    sm_sessionid        TEXT,
    sm_username         TEXT,
    sm_agentname        TEXT,
    sm_realmname        TEXT,
    sm_realmoid         TEXT,
    sm_clientip         TEXT,
    sm_domainoid        TEXT,
    sm_authdirname      TEXT,
    sm_authdirserver    TEXT,
    sm_authdirnamespace TEXT,
    sm_resource         TEXT,
    sm_action           TEXT,
    sm_reason           INTEGER,
    sm_transactionid    TEXT
);

CREATE INDEX smaccesslog4_timestamp ON smaccesslog4 (sm_timestamp);
