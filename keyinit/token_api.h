// The token-manager library's interface: the entry points the tool binds by
// name, in binding order, and the signatures of the ones it calls.
//
// TOKEN_API_ENTRY_POINTS is the single list of names. The binding table, the
// simulator's exports (its .def files are generated from the lines below)
// and the tests all expand it, so they cannot drift apart. Each line is
// X(name, kind): kind CALLED for the seven entry points the tool calls,
// BOUND for those it only requires to exist.
#pragma once

#include <windows.h>
#include <stdint.h>

#define TOKEN_API_ENTRY_POINTS(X) \
    X(KREstablishContext, CALLED) \
    X(KRReleaseContext, BOUND) \
    X(KRTransmit, BOUND) \
    X(KROpen, CALLED) \
    X(KRClose, CALLED) \
    X(KRGetSlotList, CALLED) \
    X(KRGetSlotName, CALLED) \
    X(KROpenByName, BOUND) \
    X(KRWaitForDevEvent, BOUND) \
    X(KRCancelWaitForDevEvent, BOUND) \
    X(KRBeginTransaction, BOUND) \
    X(KREndTransaction, BOUND) \
    X(VKVerifyPIN, CALLED) \
    X(VKChangePIN, BOUND) \
    X(VKUnlockUserPIN, BOUND) \
    X(VKGetPINRemainTimes, BOUND) \
    X(VKIsDefaultPINChanged, BOUND) \
    X(VKExternAuth, BOUND) \
    X(VKEnumContainer, BOUND) \
    X(VKOpenContainer, BOUND) \
    X(VKNewContainer, BOUND) \
    X(VKDelContainer, BOUND) \
    X(VKDeleteFileInContainer, BOUND) \
    X(VKBindPriKeyToContainer, BOUND) \
    X(VKWriteFileToContainer, BOUND) \
    X(VKReadFileFromContainer, BOUND) \
    X(VKGetContainerName, BOUND) \
    X(VKGetContainerInfo, BOUND) \
    X(VKGetContainersCount, BOUND) \
    X(VKGetFreePriKeyFID, BOUND) \
    X(VKGetRelativeFIDInContainer, BOUND) \
    X(VKCreateFile, BOUND) \
    X(VKReadFile, BOUND) \
    X(VKWriteFile, BOUND) \
    X(VKGetFileSize, BOUND) \
    X(VKDeleteFile, BOUND) \
    X(VKInitADF, CALLED) \
    X(VKInitMF, BOUND) \
    X(VKPrepareBinFile, BOUND) \
    X(VKGetFreeDataObjectFID, BOUND) \
    X(VKRegisterDataObject, BOUND) \
    X(VKGetDataObjectsList, BOUND) \
    X(VKAsymGenerateKeyPair, BOUND) \
    X(VKAsymSign, BOUND) \
    X(VKAsymVerify, BOUND) \
    X(VKAsymEncrypt, BOUND) \
    X(VKAsymDecrypt, BOUND) \
    X(VKAsymExchange, BOUND) \
    X(VKAsymImportKey, BOUND) \
    X(VKAsymImportKeyNoSymmParam, BOUND) \
    X(VKAsymExportKey, BOUND) \
    X(VKImportSessionKey, BOUND) \
    X(VKSymmInitKey, BOUND) \
    X(VKSymmEncrypt, BOUND) \
    X(VKSymmDecrypt, BOUND) \
    X(VKReadSN, BOUND) \
    X(VKWriteSN, BOUND) \
    X(VKReadLabel, BOUND) \
    X(VKWriteLabel, BOUND) \
    X(VKReadTokenInfo, BOUND) \
    X(VKWriteTokenInfo, BOUND) \
    X(VKGetRandom, BOUND) \
    X(VKGetFreeSpace, BOUND) \
    X(VKGetLifeCycle, BOUND) \
    X(VKSetLifeCycle, BOUND) \
    X(VKGetATR, BOUND) \
    X(VKGetProviderName, BOUND) \

enum TokenEntry {
#define TOKEN_ENTRY_INDEX(name, kind) TE_##name,
    TOKEN_API_ENTRY_POINTS(TOKEN_ENTRY_INDEX)
#undef TOKEN_ENTRY_INDEX
    kTokenEntryCount
};

// Names in binding order, indexed by TokenEntry.
extern const char* const kTokenEntryNames[kTokenEntryCount];

// Status 0 is success; anything else is failure.
typedef uint32_t TokenStatus;
const TokenStatus kTokenOk = 0;

// Handles, slot identifiers and statuses are opaque 32-bit values. Entry
// points are exported under their undecorated names. They are declared
// __stdcall here, but the tool calls them through CallToken (token_call.h),
// which works whichever convention the library was built with.
typedef TokenStatus(WINAPI* PFN_KREstablishContext)(uint32_t* context);
typedef TokenStatus(WINAPI* PFN_KRGetSlotList)(uint32_t context, uint32_t capacity,
                                               uint32_t* slots, uint32_t* count);
typedef TokenStatus(WINAPI* PFN_KROpen)(uint32_t context, uint32_t slot, uint32_t* device);
typedef TokenStatus(WINAPI* PFN_KRGetSlotName)(uint32_t context, uint32_t slot, char* name);
typedef TokenStatus(WINAPI* PFN_VKVerifyPIN)(uint32_t device, uint32_t pinKind, uint8_t* pin,
                                             uint32_t pinLength, uint32_t* retries,
                                             uint32_t reserved);
typedef TokenStatus(WINAPI* PFN_VKInitADF)(uint32_t device, uint32_t a1, uint32_t a2,
                                           uint32_t a3, uint32_t a4, uint32_t a5,
                                           uint32_t a6, uint32_t a7, uint32_t a8);
typedef TokenStatus(WINAPI* PFN_KRClose)(uint32_t device);
