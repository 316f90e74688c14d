#include "host/readers/pcsc_api.h"

#include <dlfcn.h>

namespace korva::host {
namespace {

template <typename Function>
bool bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

const PcscApi* load() {
    void* library = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static PcscApi api{};
    const bool complete =
        bind(library, "SCardEstablishContext", api.establishContext) &&
        bind(library, "SCardReleaseContext", api.releaseContext) &&
        bind(library, "SCardListReaders", api.listReaders) && bind(library, "SCardConnect", api.connect) &&
        bind(library, "SCardReconnect", api.reconnect) && bind(library, "SCardDisconnect", api.disconnect) &&
        bind(library, "SCardBeginTransaction", api.beginTransaction) &&
        bind(library, "SCardEndTransaction", api.endTransaction) && bind(library, "SCardTransmit", api.transmit) &&
        bind(library, "SCardGetStatusChange", api.getStatusChange) && bind(library, "SCardCancel", api.cancel);
    return complete ? &api : nullptr;
}

}  // namespace

const PcscApi* pcscApi() {
    static const PcscApi* api = load();
    return api;
}

const char* pcscErrorName(LONG rv) {
    switch (rv) {
        case SCARD_S_SUCCESS: return "SCARD_S_SUCCESS";
        case SCARD_E_NO_SERVICE: return "SCARD_E_NO_SERVICE (pcscd is not running)";
        case SCARD_E_SERVICE_STOPPED: return "SCARD_E_SERVICE_STOPPED (pcscd stopped)";
        case SCARD_E_NO_READERS_AVAILABLE: return "SCARD_E_NO_READERS_AVAILABLE";
        case SCARD_E_READER_UNAVAILABLE: return "SCARD_E_READER_UNAVAILABLE";
        case SCARD_E_UNKNOWN_READER: return "SCARD_E_UNKNOWN_READER";
        case SCARD_E_NO_SMARTCARD: return "SCARD_E_NO_SMARTCARD";
        case SCARD_W_REMOVED_CARD: return "SCARD_W_REMOVED_CARD";
        case SCARD_W_RESET_CARD: return "SCARD_W_RESET_CARD";
        case SCARD_W_SECURITY_VIOLATION: return "SCARD_W_SECURITY_VIOLATION (pcscd closed the connection)";
        case SCARD_W_UNRESPONSIVE_CARD: return "SCARD_W_UNRESPONSIVE_CARD";
        case SCARD_W_UNPOWERED_CARD: return "SCARD_W_UNPOWERED_CARD";
        case SCARD_E_TIMEOUT: return "SCARD_E_TIMEOUT";
        case SCARD_E_NOT_TRANSACTED: return "SCARD_E_NOT_TRANSACTED";
        case SCARD_E_PROTO_MISMATCH: return "SCARD_E_PROTO_MISMATCH";
        case SCARD_E_SHARING_VIOLATION: return "SCARD_E_SHARING_VIOLATION";
        default: return "another PC/SC error";
    }
}

}  // namespace korva::host
