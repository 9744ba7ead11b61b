#include "keyrun/key_run.h"

#include <windows.h>
#include <strsafe.h>

#include "certcache/cert_purge.h"
#include "certcache/certificate_api.h"
#include "common/csp_name.h"
#include "keyinit/key_session.h"

namespace {

const char kKeyStateChangeSuffix[] = "KeyStateChangeMessage";

char s_keyStateChangeMessageName[MAX_PATH];

}  // namespace

bool RunKeyInitialization()
{
    return RunKeyInitializationUsing(kCertificateLibrary);
}

bool RunKeyInitializationUsing(const char* certificateLibrary)
{
    // A key wiped without its certificates removed would leave traces that
    // nothing can find again: without the certificate functions the key is
    // not touched. The application binds them at start-up already, so that
    // Yes does not wait for them; a run that binds them releases them too.
    bool boundHere = !IsCertificateApiLoaded();
    if (!LoadCertificateApi(certificateLibrary)) {
        return false;
    }
    KeySession session;
    bool outcome = InitializeFirstKey(session);
    if (outcome) {
        // The key is still open while its traces are removed. A reader name
        // that did not fit is unknown, and no cache file is chosen by it.
        if (session.slotNameFits) {
            PurgeCachedCertificates(session.slotName);
        }
        BroadcastKeyStateChange();
    }
    CloseKeySession(session);
    if (boundHere) {
        UnloadCertificateApi();
    }
    return outcome;
}

void BroadcastKeyStateChange()
{
    if (FAILED(StringCchPrintfA(s_keyStateChangeMessageName, MAX_PATH, "%s_%s", kCspName,
                                kKeyStateChangeSuffix))) {
        return;
    }
    UINT message = RegisterWindowMessageA(s_keyStateChangeMessageName);
    if (message != 0) {
        PostMessageA(HWND_BROADCAST, message, 0, 0);
    }
}
