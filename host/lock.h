// The mutexes of the library. An application chooses at C_Initialize how they
// lock: with the operating system's mutexes (CKF_OS_LOCKING_OK, or no
// arguments), or with the four functions it passes.
#pragma once

#include "host/pkcs11_api.h"

#include <mutex>

namespace korva::host {

struct LockFunctions {
    ck_createmutex_t create = nullptr;
    ck_destroymutex_t destroy = nullptr;
    ck_lockmutex_t lock = nullptr;
    ck_unlockmutex_t unlock = nullptr;

    bool given() const { return create != nullptr; }
};

// A mutex that locks the way the application chose; usable with
// std::lock_guard and std::unique_lock.
class Mutex final {
public:
    explicit Mutex(const LockFunctions& functions);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();

private:
    LockFunctions functions_;
    void* applicationMutex_ = nullptr;
    std::mutex systemMutex_;
};

}  // namespace korva::host
