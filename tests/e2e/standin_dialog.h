// Ids of the stand-in dialog: the installer's main-dialog control ids (app/resource.h), so that
// scenarios written against the stand-in carry over to the installer.
#pragma once

#define IDD_STANDIN          102
#define IDC_STANDIN_ROWS     1000  // printer drop-down list
#define IDC_STANDIN_STATUS   1001  // "Firmware 3.40", then what the last answer was
#define IDC_STANDIN_CHOICE   1002  // the selected row's text
#define IDC_STANDIN_ADDRESS  1003  // the IPv4 control's address as the program read it
#define IDC_STANDIN_LABEL    1004  // hidden until a row is chosen: STANDIN_LABEL and the UI language
#define IDC_STANDIN_IP       1005  // IPv4 address control
#define IDC_STANDIN_MARKER   1006  // a magenta rectangle the screenshot scenario looks for
#define IDC_STANDIN_BACK     3

// The marker's colour.
#define STANDIN_MARKER_RGB   RGB(255, 0, 255)
