// pcsc-lite, loaded when the library starts rather than linked: a machine
// without it (or a 32-bit process on a machine that has only the 64-bit
// one) still gets the built-in virtual card, and the PC/SC slots are simply
// not there.
#pragma once

#include <PCSC/winscard.h>

namespace korva::host {

struct PcscApi {
    decltype(&SCardEstablishContext) establishContext;
    decltype(&SCardReleaseContext) releaseContext;
    decltype(&SCardListReaders) listReaders;
    decltype(&SCardConnect) connect;
    decltype(&SCardReconnect) reconnect;
    decltype(&SCardDisconnect) disconnect;
    decltype(&SCardBeginTransaction) beginTransaction;
    decltype(&SCardEndTransaction) endTransaction;
    decltype(&SCardTransmit) transmit;
    decltype(&SCardGetStatusChange) getStatusChange;
    decltype(&SCardCancel) cancel;
};

// The loaded functions, or null when pcsc-lite cannot be loaded. Loaded once
// and never unloaded (another thread may be inside one of its calls).
const PcscApi* pcscApi();

// "SCARD_E_NO_SERVICE" and the like, for the trace.
const char* pcscErrorName(LONG rv);

}  // namespace korva::host
