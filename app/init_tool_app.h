// The application object: shows the main dialog and ends when it closes.
#pragma once

#include "app/dialog.h"

class CInitToolApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
