// The About box, opened from the main dialog's system menu.
#pragma once

#include "app/dialog.h"
#include "resource.h"

class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(CWnd* parent = NULL) : CDialog(IDD_ABOUTBOX, parent) {}
};
