/* Resource identifiers of the tool, shared by the C++ code and the resource
   script (plain #defines only, so the resource compiler reads them too). */
#ifndef VKKSVINITTOOL_RESOURCE_H
#define VKKSVINITTOOL_RESOURCE_H

/* System-menu command of the About item (a multiple of 16, as system-menu
   commands must be). */
#define IDM_ABOUTBOX        0x0010

#define IDD_ABOUTBOX        100
#define IDS_ABOUTBOX        101
#define IDD_INITTOOL_DIALOG 102
#define IDS_INIT_OK         104
#define IDS_INIT_FAILED     105
#define IDS_INIT_WARNING    106
#define IDR_MAINFRAME       128

#define IDC_MESSAGE         1002
#define IDC_YES             1004

#ifndef IDC_STATIC
#define IDC_STATIC          (-1)
#endif

#endif
