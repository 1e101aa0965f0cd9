-- smaccesslog4: the login audit table, one row per accepted authentication
-- written by the event handler (Oracle Database 12c or later).
--
-- The writer inserts the sm_ columns below; id and sm_timestamp are filled
-- by the database (id in insertion order).
--
-- Text values arrive with up to 4999 characters (the host name with up to
-- 499). VARCHAR2 holds at most 4000 bytes (unless MAX_STRING_SIZE is
-- EXTENDED), and an insert with a longer value fails every time it is
-- retried, holding up every event behind it. So the event's texts are CLOBs;
-- compare them with LIKE or DBMS_LOB functions, not "=".
--
--   sqlplus user/password@service @smaccesslog4.oracle.sql

CREATE TABLE smaccesslog4 (
    id                  NUMBER(19) GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    sm_timestamp        TIMESTAMP WITH TIME ZONE DEFAULT SYSTIMESTAMP NOT NULL,
    sm_categoryid       NUMBER(10),
    sm_eventid          NUMBER(10),
    sm_hostname         VARCHAR2(500 CHAR),
    sm_sessionid        CLOB,
    sm_username         CLOB,
    sm_agentname        CLOB,
    sm_realmname        CLOB,
    sm_realmoid         CLOB,
    sm_clientip         CLOB,
    sm_domainoid        CLOB,
    sm_authdirname      CLOB,
    sm_authdirserver    CLOB,
    sm_authdirnamespace CLOB,
    sm_resource         CLOB,
    sm_action           CLOB,
    sm_reason           NUMBER(10),
    sm_transactionid    CLOB
);

CREATE INDEX smaccesslog4_timestamp ON smaccesslog4 (sm_timestamp);
