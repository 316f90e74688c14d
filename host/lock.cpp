#include "host/lock.h"

#include <stdexcept>

namespace korva::host {

Mutex::Mutex(const LockFunctions& functions) : functions_(functions) {
    if (functions_.given() && functions_.create(&applicationMutex_) != CKR_OK)
        throw std::runtime_error("the application's mutex could not be created");
}

Mutex::~Mutex() {
    if (functions_.given()) functions_.destroy(applicationMutex_);
}

// The application's lock functions report failures we cannot act on in the
// middle of a call: a mutex that cannot be locked is a broken application.
void Mutex::lock() {
    if (functions_.given()) {
        functions_.lock(applicationMutex_);
    } else {
        systemMutex_.lock();
    }
}

void Mutex::unlock() {
    if (functions_.given()) {
        functions_.unlock(applicationMutex_);
    } else {
        systemMutex_.unlock();
    }
}

}  // namespace korva::host
