#include "keyinit/key_session.h"

#include <string.h>

#include <strsafe.h>

#include "keyinit/token_library.h"

namespace {

const uint32_t kPinKind = 1;
const uint32_t kPinLength = 6;
// The zero passed for the arguments the sequence does not use.
const uint32_t kNoArgument = 0;

// KRGetSlotName is given no buffer size. The library writes into this much
// larger buffer, and only a name that fits the session's buffer is kept.
char s_slotNameScratch[32768];

void ReadSlotName(KeySession& session)
{
    memset(s_slotNameScratch, 0, sizeof(s_slotNameScratch));
    CallBoundEntry<PFN_KRGetSlotName>(TE_KRGetSlotName, session.context, session.slots[0],
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
    if (CallBoundEntry<PFN_KREstablishContext>(TE_KREstablishContext, &session.context) !=
        kTokenOk) {
        return false;
    }
    if (CallBoundEntry<PFN_KRGetSlotList>(TE_KRGetSlotList, session.context, session.slotCount,
                                          session.slots, &session.slotCount) != kTokenOk ||
        session.slotCount == 0) {
        return false;
    }
    // Only the first key reported is ever opened.
    if (CallBoundEntry<PFN_KROpen>(TE_KROpen, session.context, session.slots[0],
                                   &session.device) != kTokenOk) {
        session.device = 0;
        return false;
    }
    ReadSlotName(session);

    if (CallBoundEntry<PFN_VKVerifyPIN>(TE_VKVerifyPIN, session.device, kPinKind, session.pin,
                                        kPinLength, &session.pinRetries,
                                        kNoArgument) != kTokenOk) {
        return false;
    }
    return CallBoundEntry<PFN_VKInitADF>(TE_VKInitADF, session.device, kNoArgument,
                                         kNoArgument, kNoArgument, kNoArgument, kNoArgument,
                                         kNoArgument, kNoArgument, kNoArgument) == kTokenOk;
}

void CloseKeySession(KeySession& session)
{
    if (session.device != 0) {
        CallBoundEntry<PFN_KRClose>(TE_KRClose, session.device);
        session.device = 0;
    }
    UnloadTokenLibrary();
}
