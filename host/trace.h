// The library's trace, for a person finding out why an application and the
// token disagree. KORVA_PKCS11_TRACE=1 prints every call with its arguments
// and the name of its result; KORVA_PKCS11_TRACE=2 adds every command sent to
// the card and its answer. PINs and key values never appear: a PIN argument
// shows only its length; the data of VERIFY and CHANGE REFERENCE DATA (PINs,
// loaded key material) is masked, and so are READ and UPDATE BINARY of the
// files that hold key values (63 nn, E1 nn), command data and answer alike.
//
// Line format (one line per event, on standard error, each beginning
// "korva-pkcs11: "):
//   korva-pkcs11: C_Login(session=1, user=CKU_USER, pin=<8 bytes>)
//   korva-pkcs11: C_Login -> CKR_OK
//   korva-pkcs11: C_Sign -> CKR_OK (signature_len=64)
//   korva-pkcs11: apdu slot 0 > 00 20 00 01 08 ** ** ** ** ** ** ** **
//   korva-pkcs11: apdu slot 0 < 90 00
//   korva-pkcs11: apdu slot 0 < transport failure 0x8010000C
//   korva-pkcs11: card file /path/x.card: <what is wrong>; left as it is
// A command is one "apdu slot N >" line; its answer (data, then the two
// status bytes) or transport failure is the "apdu slot N <" line after it.
#pragma once

#include "host/pkcs11_api.h"

#include <cstdint>
#include <span>
#include <string>

namespace korva::host::trace {

// 0 (off), 1 (calls) or 2 (calls and card commands), read from the
// environment at each use so that a process may switch it.
int level() noexcept;

// One line to standard error, prefixed; a no-op below `minimum`.
void line(int minimum, const std::string& text) noexcept;
// A line that is printed with the trace off too: something the user must
// hear of (a card file the library cannot use), in the trace's format.
void notice(const std::string& text) noexcept;

std::string returnValueName(ck_rv_t rv);
std::string mechanismName(ck_mechanism_type_t type);
std::string attributeName(ck_attribute_type_t type);

// A command and its answer (or the reader's transport failure), at level 2.
void apdu(ck_slot_id_t slot, std::span<const uint8_t> command, std::span<const uint8_t> answer, uint8_t sw1,
          uint8_t sw2, uint32_t transportFailure) noexcept;

// While a traced function-list entry runs, the plain result line of the
// call's guard is left out: the entry prints a fuller one.
bool insideTracedCall() noexcept;
class TracedCall final {
public:
    TracedCall() noexcept;
    ~TracedCall();
    TracedCall(const TracedCall&) = delete;
    TracedCall& operator=(const TracedCall&) = delete;
};

// The function list handed out while the trace is on: every entry prints
// its arguments, calls the library's own function and prints the result.
ck_function_list* tracedFunctionList();

}  // namespace korva::host::trace
