// Ids of the string table and of the embedded resources. Read by the C++ code and by the
// resource compiler, so plain #defines only.
#pragma once

// The product configuration's ids and the program's title.
#include "common/ConfigurationIds.h"

// Message catalogue (English and Japanese).
#define IDS_ABOUTBOX              101
#define IDS_CONFIRM_INSTALL_TIME  102
#define IDS_SOCKET_INIT_FAILED    103
#define IDS_INPUT_IP_ADDRESS      104
#define IDS_BUTTON_INSTALL        105
#define IDS_BUTTON_NEXT           106
#define IDS_AUTO_DETECTION        107
#define IDS_PANEL_SEND_FAILED     108
#define IDS_REBOOTING             109
#define IDS_WAITING_FOR_RESTART   110
#define IDS_STOPPING              111
// 112 to 127 (one block of the string table of its own; 192 to 207 is the configuration's, which
// exists only language-neutral: a message there would hide it, or be hidden).
#define IDS_CERT_NOT_REMEMBERED   112
#define IDS_CERT_FORGET_FAILED    113
#define IDS_TRUST_NOTHING_SENT    114
#define IDS_TRUST_IN_UPDATE_MODE  115
#define IDS_CERT_FILE_UNREADABLE  116
#define IDS_SEARCHING_PRINTERS    117
#define IDS_FATAL_ERROR           160
#define IDS_PRINTER_NOT_FOUND     161
#define IDS_UNSUPPORTED_MODEL     163
#define IDS_UP_TO_DATE            164
#define IDS_SUB_POWER_ON          165
#define IDS_INSTALLER_CORRUPTED   166
#define IDS_FIRM_SEND_FAILED      167
#define IDS_FIRM_INSTALL_FAILED   168
#define IDS_ALREADY_RUNNING       169
#define IDS_ILLEGAL_PARAMETER     171
#define IDS_CANCELED              172
#define IDS_INSTALLING_FIRMWARE   178
#define IDS_CONFIRM_EXIT          179
#define IDS_INSTALL_SUCCEEDED     180
#define IDS_INSTALLING_PANEL      182
#define IDS_RESTART_REFUSED       184
#define IDS_RESTART_NOT_CONFIRMED 185
#define IDS_CERT_QUESTION         186
#define IDS_CERT_DECLINED         187
#define IDS_CERT_CHANGED          188
#define IDS_PLAIN_AFTER_TLS       189
#define IDS_CERT_MISSING          190
#define IDS_CERT_FORGOTTEN        191
#define IDS_PANEL_OPERATION       1015

// Embedded images, of resource type "FIRMWARE".
#define IDR_FIRMWARE_IMAGE        220
#define IDR_PANEL_IMAGE           221

// The controller library, of resource type "DLL".
#define IDR_CONTROLLER_LIBRARY    146

// Dialog templates.
#define IDD_ABOUTBOX              100
#define IDD_VESSICK_DIALOG        102
#define IDD_SEND_STATUS           136

// Pictures: the banner as the template shows it, the banner's colour and opacity sources, the
// application icon and the four frames of the progress dialogs' animation.
#define IDR_MAINFRAME             128
#define IDB_BANNER                137
#define IDB_BANNER_COLOR          138
#define IDB_BANNER_ALPHA          139
#define IDI_ANIMATION_1           140
#define IDI_ANIMATION_2           141
#define IDI_ANIMATION_3           142
#define IDI_ANIMATION_4           143

// Controls of the main dialog (102).
#define IDC_PRINTER_LIST          1000
#define IDC_FIRM_VERSION          1001
#define IDC_MODEL_NAME            1002
#define IDC_PORT_NAME             1003
#define IDC_PANEL_VERSION         1004
#define IDC_IP_ADDRESS            1005
#define IDC_BANNER                1006
#define IDC_BACK                  3

// Controls of the progress dialogs (136) and of the about box (100).
#define IDC_STATUS_TEXT           1007
#define IDC_ANIMATION             1008
#define IDC_ABOUT_TEXT            1009
#define IDC_PROGRESS              1010
#define IDC_PERCENT               1011
#define IDC_STEP_LABEL            1014

// The about box's command in the main dialog's system menu.
#define IDM_ABOUTBOX              0x0010
