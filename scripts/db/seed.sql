-- First rows of a new system database: this host (@HOST@ is replaced by its
-- name) as client 0 with its operating system, and the process-list syntax
-- for Linux.
insert into oper_systems (os, platform) values ('Linux', 'UNIX');
insert into clients (client_id, name, os, accessmode) values (0, '@HOST@', 'Linux', 'CTRL');
insert into syntaxes (os, command, syntax) values ('Linux', 'PS_CMD', 'ps -ef');
insert into syntaxes (os, command, syntax) values ('Linux', 'PS_PID', '2');
insert into syntaxes (os, command, syntax) values ('Linux', 'PS_PPID', '3');
