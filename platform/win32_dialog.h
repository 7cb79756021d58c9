// Resource identifiers of the settings dialog (platform/win32_dialog.rc).
#pragma once

#define MIRAD_IDD_SETTINGS 100
#define MIRAD_IDC_ROW 1000 /* row i is control MIRAD_IDC_ROW + i */
#define MIRAD_IDC_LABEL 1100 /* the label of row i */
