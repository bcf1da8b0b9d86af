// Resource identifiers of the stub, shared by the resource script and the code.
// Plain defines, since the resource compiler reads this file too.
#pragma once

#define IDI_ICON1 101

// Controls of the main dialog "SfxDialog".
#define IDC_FOLDER_EDIT 100
#define IDC_CURRENT_FILE 101
#define IDC_PROGRESS 102
#define IDC_FOLDER_LABEL 103
#define IDC_BROWSE 104
#define IDC_GROUP_BOX 105
#define IDC_CLASS_BOX 106

// Controls of the directory chooser "GetDirDialog": the identifiers the
// platform's open-file dialog expects.
#define IDC_DIR_CURRENT 1088
#define IDC_DIR_LIST 1121
#define IDC_DRIVE_LIST 1137
#define IDC_DIR_HELP 1038
