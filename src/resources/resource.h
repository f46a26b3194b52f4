#pragma once
// Resource, control and command identifiers of the executable.

// clang-format off
#define IDS_EXE_PRODUCT_NAME   103   /* "GPS Fennik" */
#define IDS_EXE_CLASS_NAME     109   /* "KIVAR M415 GPS Fennik": main window class */

#define IDD_ABOUTBOX           103
#define IDM_ABOUT              104
#define IDM_EXIT               105
#define IDI_MAIN               107
#define IDI_SMALL              108
#define IDR_MAINFRAME          109
#define IDM_SYS_ABOUT          0x0680  /* IDM_ABOUT in the dialog's system menu: below 0xF000, low 4 bits 0 */
#define IDM_TRAY_EXIT          110
#define IDM_TRAY_SHOW          111
#define IDM_TRAY_HIDE          112
#define IDM_TRAY_UPDATE        113
#define IDD_MAIN               129
#define IDD_SPLASH             130
#define IDB_SPLASH             131
#define IDB_BANNER             132

#define IDC_PROGRESS           1000
#define IDC_AUTO_UPDATE        1001
#define IDC_UPDATE             1002
#define IDC_CLOSE              1003
#define IDC_DOWNLOAD_TIME      1004
#define IDC_UPDATE_TIME        1005
#define IDC_EXPIRE_TIME        1006
#define IDC_STATUS             1007
#define IDC_STARTUP            1008
#define IDC_DOWNLOAD_LABEL     1009
#define IDC_UPDATE_LABEL       1010
#define IDC_EXPIRE_LABEL       1011
#define IDC_ABOUT_ICON         2
#define IDC_STATIC             -1
// clang-format on
