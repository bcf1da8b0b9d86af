// Resource and control identifiers of the stub, in one place for the
// resource script, the code (every window system) and the test driver. Plain
// defines, since the resource compiler reads this file too.
#pragma once

#define IDI_ICON1 101

// Controls of the main dialog "SfxDialog": the two buttons have the system's
// own OK and Cancel identifiers.
#define IDC_OK 1
#define IDC_CANCEL 2
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
