-- Rights on the audit table (Oracle), granted by the table's owner:
--
--   sqlplus owner/password@service @grant.oracle.sql
--
-- kelaudit stands for the USER of kelaudit.conf and kelreader for a user
-- that reads the audit trail; replace them throughout. Both are made here
-- unless they exist (the owner needs the CREATE USER right for that;
-- without it, the database administrator runs this part); SQL*Plus asks
-- for their passwords without showing them. The handler's password is then
-- set in kelaudit.conf with kelpasswd.

ACCEPT kelaudit_pw CHAR PROMPT 'Password for kelaudit: ' HIDE
ACCEPT kelreader_pw CHAR PROMPT 'Password for kelreader: ' HIDE
DECLARE
    PROCEDURE make_user(name VARCHAR2, pw VARCHAR2) IS
        n NUMBER;
    BEGIN
        SELECT COUNT(*) INTO n FROM all_users WHERE username = UPPER(name);
        IF n = 0 THEN
            EXECUTE IMMEDIATE 'CREATE USER ' || name || ' IDENTIFIED BY "' || pw || '"';
        END IF;
        EXECUTE IMMEDIATE 'GRANT CREATE SESSION TO ' || name;
    END;
BEGIN
    make_user('kelaudit', '&kelaudit_pw');
    make_user('kelreader', '&kelreader_pw');
END;
/
-- The table lives in the owner's schema: set TABLE = owner.smaccesslog4 in
-- kelaudit.conf, or give the handler's user a synonym for it.

-- The event handler inserts rows, one per audited login, and nothing else.
-- `smhost check` needs no more: its test row is rolled back.
GRANT INSERT ON smaccesslog4 TO kelaudit;

-- Checks and reports read the table; the handler never does.
GRANT SELECT ON smaccesslog4 TO kelreader;
