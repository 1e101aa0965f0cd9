-- Rights on the audit table (Oracle), granted by the table's owner:
--
--   sqlplus owner/password@service @grant.oracle.sql
--
-- kelaudit stands for the USER of kelaudit.conf and kelreader for a user
-- that reads the audit trail; replace them throughout. The users are made
-- once by the database administrator, e.g.
--   CREATE USER kelaudit IDENTIFIED BY "...";
--   GRANT CREATE SESSION TO kelaudit;
-- and the handler's password then set in kelaudit.conf with kelpasswd.
-- The table lives in the owner's schema: set TABLE = owner.smaccesslog4 in
-- kelaudit.conf, or give the handler's user a synonym for it.

-- The event handler inserts rows, one per audited login, and nothing else.
-- `smhost check` needs no more: its test row is rolled back.
GRANT INSERT ON smaccesslog4 TO kelaudit;

-- Checks and reports read the table; the handler never does.
GRANT SELECT ON smaccesslog4 TO kelreader;
