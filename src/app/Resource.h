#pragma once
// Ids of the dialog templates, controls, commands and icons.

enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDM_ABOUTBOX = 16,  // system-menu item "关于 Strevix(&A)..."

    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_STREVIX_DIALOG = 102,
    IDD_MODIFY_PASSWORD = 133,

    IDR_MAINFRAME = 134,  // blue globe: application, window, tray at creation; tray menu
    IDI_CAPTURING = 135,  // green globe: tray while capturing, about box
    IDI_IDLE = 136,       // grey globe: tray after initialisation

    IDC_START = 1003,
    IDC_STOP = 1004,
    IDC_MODIFY_PASSWORD = 1008,
    IDC_LIST_DEVICES = 1011,
    IDC_PCAP_FILE = 1012,
    IDC_PLAY = 1021,
    IDC_DELETE = 1022,
    IDC_CLEAR = 1023,
    IDC_RECORD_MP4 = 1024,
    IDC_FOLDER = 1025,
    IDC_EXIT = 1027,
    IDC_WEB_HOST = 1028,
    IDC_RECORD_ONLY = 1029,
    IDC_TEST = 1034,
    IDC_MORE = 1040,             // menu button offering 1024, 1008 and the about box
    IDC_COPY_ADDRESS = 1041,     // the stream rows' context menu
    IDC_LIST_RECORDINGS = 1042,  // recordings being written
    IDC_TLS_KEYLOG = 1043,       // the TLS key log, from the 更多 menu

    // Controls of the change-password dialog (template 133).
    IDC_USER_TYPE = 1024,
    IDC_NEW_PASSWORD = 1026,
    IDC_CONFIRM_PASSWORD = 1027,
    IDC_OLD_PASSWORD = 1028,

    ID_TRAY_SHOWHIDE = 32775,
    ID_TRAY_EXIT = 32776,
    ID_TRAY_ABOUT = 32777,

    WM_TRAY_NOTIFY = 1034,  // WM_USER + 10
    WM_LBUTTONDBLCLK = 0x0203,
    WM_RBUTTONUP = 0x0205,
};
