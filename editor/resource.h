// Resource ids shared by the resource script and the code.
#pragma once

#define IDI_PARLY 1
#define IDB_ABOUT 201
#define IDD_PROGRESS 117
#define IDC_PROGRESS_TEXT 1032
#define IDC_PROGRESS_BAR 1033
