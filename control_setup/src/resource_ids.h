// Identifiers shared by the resource script and the dialog code. Plain macros, because the resource compiler
// reads this file too.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_CONTROLSETUP_DIALOG 102
#define IDR_MAINFRAME 129
#define IDI_INSTALL_PICTURE 131

#define IDC_INSTALL 3
#define IDC_STATUS_LINE 1001

// System-menu command of the About entry; system commands keep their low four bits for the system.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
