// Resource ids of Skyvane.exe (Skyvane.rc).
#pragma once

#define IDS_APP_TITLE 103  // window title
#define IDM_ABOUT 104      // Help > About, and the Alt+? / Alt+/ accelerators
#define IDM_EXIT 105       // File > Exit
#define IDI_SKYVANE 107    // large icon
#define IDI_SMALL 108      // small icon
#define IDC_SKYVANE 109    // window class name (string), menu and accelerator table
