// What the library saw of PIN entries on a token. The standard's "count low"
// flags say that a wrong PIN was entered since the last successful login;
// the card reports only a retry counter without its starting value, so the
// library remembers the wrong entries it passed on, and a counter at its last
// try or locked has seen them too.
#pragma once

#include "host/pkcs11_api.h"

namespace korva::host {

class PinHistory final {
public:
    void note(unsigned long userType, ck_rv_t rv) {
        bool& wrong = userType == CKU_SO ? wrongSo_ : wrongUser_;
        if (rv == CKR_OK) wrong = false;
        if (rv == CKR_PIN_INCORRECT) wrong = true;
    }

    ck_flags_t flags(ck_flags_t cardFlags) const {
        if (wrongUser_ || (cardFlags & (CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED)) != 0)
            cardFlags |= CKF_USER_PIN_COUNT_LOW;
        if (wrongSo_ || (cardFlags & (CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED)) != 0)
            cardFlags |= CKF_SO_PIN_COUNT_LOW;
        return cardFlags;
    }

private:
    bool wrongUser_ = false;
    bool wrongSo_ = false;
};

}  // namespace korva::host
