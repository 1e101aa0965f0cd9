-- Rights on the audit table (PostgreSQL), granted by the table's owner:
--
--   psql "postgresql://host/db" -U owner -f grant.postgresql.sql
--
-- kelaudit stands for the USER of kelaudit.conf; replace it throughout.
-- The user is made here unless it exists (the owner needs the CREATEROLE
-- right for that; without it, a superuser runs this part). Its password is
-- not in this file: set it in psql with
--   \password kelaudit
-- and then in kelaudit.conf with kelpasswd.

DO $$
BEGIN
    CREATE ROLE kelaudit LOGIN;
EXCEPTION WHEN duplicate_object THEN
    NULL;
END
$$;

-- The event handler inserts rows, one per audited login, and nothing else.
-- `smhost check` needs no more: its test row is rolled back.
GRANT INSERT ON smaccesslog4 TO kelaudit;

-- Checks read the table: `smhost load` reads back every row it wrote, and
-- the stand-in Oracle client, after a connection lost in the middle of a
-- commit, looks the row up before it inserts it again. Without SELECT the
-- handler still works, but a server crash at that moment may leave one
-- duplicate row (docs/audit-table.md); `smhost load` stops at its start.
GRANT SELECT ON smaccesslog4 TO kelaudit;
