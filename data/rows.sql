-- Initial rows of the application database. The README states the users' initial passwords.

INSERT INTO SysSeting (ParamName, ParamValue, Remark) VALUES
    ('AutoRun',            '0', 'start with the desktop session'),
    ('AutoCaptureNetData', '0', 'start capture at once'),
    ('AppTitle',           '瑞维【未指定采集目标】', 'window title'),
    ('RunAs',              '2', 'analysis kind'),
    ('UploadTimer',        '0', 'upload interval');

INSERT INTO User (UserName, PassWord) VALUES
    ('Admin', 'admin'),
    ('Guest', 'guest');

INSERT INTO PostInformation (strID, PostName, PostAddress, PostCode, Contact, Telephone) VALUES
    ('1', '', '', '', '', '');

INSERT INTO Company (strID, CompanyName, ShortName, Address, Telephone, WebSite, Email,
                     LicenceCount, ValidDays) VALUES
    ('1', '瑞维', '瑞维', '', '', '', '', 1, 0);
