-- Tables of the system database that the agent reads. Plain SQL that SQLite
-- and PostgreSQL both accept unchanged.

create table oper_systems (
    os          varchar(32)  not null primary key,
    platform    varchar(20)  not null               -- UNIX, WNT, VMS, NETWARE
);

create table clients (
    client_id       integer      not null primary key,  -- 0 is the backup server itself
    name            varchar(160) not null unique,
    os              varchar(32)  not null references oper_systems(os),
    accessmode      varchar(16)  not null default 'CTRL',  -- RSH, RSH2, SSH, CTRL, JRSH
    access_options  varchar(255),
    password        varchar(255),
    user_name       varchar(64),
    data_mover      varchar(160)
);

create table hw_drives (
    drive_num   integer      not null primary key,
    client_id   integer      not null references clients(client_id),
    typ         varchar(32)  not null,
    path        varchar(255) not null
);

-- Shell command syntax per operating system (for example the process list:
-- PS_CMD the command, PS_PID and PS_PPID the columns of its output).
create table syntaxes (
    os          varchar(32)  not null,
    command     varchar(32)  not null,
    syntax      varchar(50)  not null,
    primary key (os, command)
);
