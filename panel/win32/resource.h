// Resource identifiers of KVT-Panel.exe, shared by the resource script and the face.
#pragma once

#define IDI_PANEL 107       // class and notification icon
#define IDI_PANEL_SMALL 108 // small class icon
#define IDS_APP_TITLE 103   // "Varnex CP"
#define IDS_TIP 104         // "Varnex Control Program"
#define IDC_PANEL 109       // class name string, menu and accelerator table
#define IDD_ACCOUNT 129
#define IDD_LIMITS 130

#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_SET_LIMITS 1003
#define IDM_TRACE_OFF 32778
#define IDM_TRACE_ON 32779
#define IDM_STOP 32780
#define IDM_START 32781
#define IDM_CHECK_UPDATES 32785
#define IDM_CLEAR_CACHE_RESOURCE 32786 // the class menu's item; the popup uses 32787
#define IDM_SET_ACCOUNT 32788

#define IDC_LOGIN 1000
#define IDC_PASSWORD 1001
#define IDC_UPRATE 1004
#define IDC_DOWNRATE 1005
#define IDC_MAXPEERS 1006

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

#define WM_TRAYICON 1025
#define WM_PIPEDATA 1159
