-- Tables of the application database (QuilletDT.dll).

CREATE TABLE FilterInfo (
    ID            INTEGER PRIMARY KEY,
    RunAs         INTEGER NOT NULL,
    IsValid       INTEGER NOT NULL DEFAULT 1,
    RemoteAddr    TEXT    NOT NULL,
    MsgHeader     TEXT,
    ValidDataFlag TEXT,
    DataStartFlag TEXT,
    DataEndFlag   TEXT,
    Remark        TEXT
);

CREATE TABLE User (
    UserName TEXT PRIMARY KEY NOT NULL,
    PassWord TEXT NOT NULL DEFAULT ''
);

CREATE TABLE SysSeting (
    ParamName  TEXT PRIMARY KEY NOT NULL,
    ParamValue TEXT,
    Remark     TEXT
);

CREATE TABLE PostInformation (
    strID       TEXT PRIMARY KEY NOT NULL,
    PostName    TEXT,
    PostAddress TEXT,
    PostCode    TEXT,
    Contact     TEXT,
    Telephone   TEXT
);

CREATE TABLE Company (
    strID        TEXT PRIMARY KEY NOT NULL,
    CompanyName  TEXT,
    ShortName    TEXT,
    Address      TEXT,
    Telephone    TEXT,
    WebSite      TEXT,
    Email        TEXT,
    LicenceCount INTEGER,
    ValidDays    INTEGER
);
