// The string ids every room reads: the product configuration (language-neutral) and the program's
// title. They live here, below all who read them; app/resource.h holds the rest. Read by the C++
// code and by the resource compiler, so plain #defines only.
#pragma once

// Product configuration (language-neutral).
#define IDS_CFG_FIRM_VERSION      201
#define IDS_CFG_SERIES_NAME       202
#define IDS_CFG_MODEL_LIST        203
#define IDS_CFG_MODEL_CODE        204
#define IDS_CFG_PORT_TYPE         205
#define IDS_CFG_PANEL_VERSION     206
#define IDS_CFG_PANEL_DIGEST      207
#define IDS_CFG_INSTALL_MINUTES   208

// The program's title: dialogs' captions and message boxes.
#define IDS_APP_TITLE             57344
