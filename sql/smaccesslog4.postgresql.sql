-- smaccesslog4: the login audit table, one row per accepted authentication
-- written by the event handler (PostgreSQL).
--
-- The writer inserts the sm_ columns below; id and sm_timestamp are filled
-- by the database (id in insertion order). Text columns have no length
-- limit; values of up to 4999 characters arrive.
--
--   psql "postgresql://host/db" -U user -f smaccesslog4.postgresql.sql

CREATE TABLE smaccesslog4 (
    id                  bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    sm_timestamp        timestamptz NOT NULL DEFAULT clock_timestamp(),
    sm_categoryid       integer,
    sm_eventid          integer,
    sm_hostname         text,
    sm_sessionid        text,
    sm_username         text,
    sm_agentname        text,
    sm_realmname        text,
    sm_realmoid         text,
    sm_clientip         text,
    sm_domainoid        text,
    sm_authdirname      text,
    sm_authdirserver    text,
    sm_authdirnamespace text,
    sm_resource         text,
    sm_action           text,
    sm_reason           integer,
    sm_transactionid    text
);

CREATE INDEX smaccesslog4_timestamp ON smaccesslog4 (sm_timestamp);
