// The main dialog: the warning with Yes and No, then the outcome with OK.
#pragma once

#include "app/dialog.h"
#include "resource.h"

// The help command of the class-library convention. No help file ships with
// the tool, so it does nothing.
const WORD ID_HELP = 0xE146;

class CInitToolDlg : public CDialog {
public:
    explicit CInitToolDlg(CWnd* parent = NULL);

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

    void ShowAboutBox();
    BOOL OnPaint();
    HICON OnQueryDragIcon() { return m_hIcon; }
    void OnYes();

    CButton m_btnNo;
    CStatic m_message;
    CButton m_btnOK;
    CButton m_btnYes;
    HICON m_hIcon;
    // Set when Yes is taken; the dialog runs the wipe once in its life.
    bool m_runTaken = false;
    // Set while the run is in progress: no command ends the dialog then.
    bool m_running = false;
};

// Where a minimised dialog draws its icon: centred, rounding toward zero.
POINT IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);
