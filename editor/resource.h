// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_PARLY 1
#define IDB_ABOUT 201

// Controls with a fixed role in every edit dialog.
#define IDC_PRODUCT_LABEL 1031
#define IDC_WARNING 1036
#define IDC_HELP_PANEL 1037
#define IDC_ICON 1038

// Progress window.
#define IDD_PROGRESS 117
#define IDC_PROGRESS_TEXT 1032
#define IDC_PROGRESS_BAR 1033
