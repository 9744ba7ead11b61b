#include "keyinit/key_session.h"

#include <string.h>

#include <strsafe.h>

#include "keyinit/token_library.h"

namespace {

const uint32_t kPinKind = 1;
const uint32_t kPinLength = 6;

// KRGetSlotName is given no buffer size. The library writes into this much
// larger buffer, and only a name that fits the session's buffer is kept.
char s_slotNameScratch[32768];

void ReadSlotName(KeySession& session)
{
    memset(s_slotNameScratch, 0, sizeof(s_slotNameScratch));
    TokenEntryPoint<PFN_KRGetSlotName>(TE_KRGetSlotName)(session.context, session.slots[0],
                                                         s_slotNameScratch);
    s_slotNameScratch[sizeof(s_slotNameScratch) - 1] = '\0';

    // A failed call that wrote nothing leaves the name empty.
    if (FAILED(StringCchCopyA(session.slotName, MAX_PATH, s_slotNameScratch))) {
        session.slotName[0] = '\0';
        session.slotNameFits = false;
    }
}

}  // namespace

bool InitializeFirstKey(KeySession& session)
{
    if (!OpenTokenLibrary()) {
        return false;
    }
    if (TokenEntryPoint<PFN_KREstablishContext>(TE_KREstablishContext)(&session.context) !=
        kTokenOk) {
        return false;
    }
    if (TokenEntryPoint<PFN_KRGetSlotList>(TE_KRGetSlotList)(session.context, session.slotCount,
                                                             session.slots,
                                                             &session.slotCount) != kTokenOk ||
        session.slotCount == 0) {
        return false;
    }
    // Only the first key reported is ever opened.
    if (TokenEntryPoint<PFN_KROpen>(TE_KROpen)(session.context, session.slots[0],
                                               &session.device) != kTokenOk) {
        session.device = 0;
        return false;
    }
    ReadSlotName(session);

    if (TokenEntryPoint<PFN_VKVerifyPIN>(TE_VKVerifyPIN)(session.device, kPinKind, session.pin,
                                                         kPinLength, &session.pinRetries,
                                                         0) != kTokenOk) {
        return false;
    }
    return TokenEntryPoint<PFN_VKInitADF>(TE_VKInitADF)(session.device, 0, 0, 0, 0, 0, 0, 0,
                                                        0) == kTokenOk;
}

void CloseKeySession(KeySession& session)
{
    if (session.device != 0) {
        TokenEntryPoint<PFN_KRClose>(TE_KRClose)(session.device);
        session.device = 0;
    }
    UnloadTokenLibrary();
}
