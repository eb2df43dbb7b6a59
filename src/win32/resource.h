// Resource ids of the Win32 face (plain #defines, which the resource compiler reads too). The control ids
// are those of dialog/DialogIds.h.
#define IDD_LOADER 102
#define IDD_ABOUT 103
#define IDI_KAVREL 128
#define IDR_ACCELERATORS 136
#define IDC_ABOUT_ICON 1101
#define IDC_ABOUT_TITLE 1102
#define IDC_ABOUT_VERSION 1103
#define IDC_ABOUT_NOTICE 1104
#define IDC_ABOUT_ADDRESS 1105
