// Destroying objects (slot 16) and the clean-up after a user login that
// destroys secret keys stored on the card although their template said
// they were not token objects.
#pragma once

#include "objects/directory_files.h"

#include "card/card_context.h"

#include <korva/host_records.h>
#include <korva/pkcs11_types.h>
#include <korva/transport.h>

#include <cstdint>
#include <optional>

namespace korva::objects {

// Removes the object in record `record` of `directoryId`: its body (or its
// card key object), then the record itself, then the counts when the
// record was in use. The application subdirectory is current before and
// after. Returns CKR_OK or CKR_FUNCTION_FAILED. The container map and name
// map are the caller's.
abi::CK_RV destroyTokenObject(CardContext& context, const TokenSettings& settings, uint16_t directoryId,
                              uint8_t record);

// Slot 16. Only a token object needs the settings (nothing: the host gave
// none).
abi::CK_RV destroyObject(const abi::HostContext& host, const abi::LoginRecord* login,
                         const std::optional<TokenSettings>& settings, const abi::ObjectHandle& handle);

// After a user login: walks the secret-key directory from its last record
// to its first and destroys every key whose record says CKA_TOKEN false.
// `userType` is the type just logged in; only the user triggers it. Returns
// kOk, or a failure when the application subdirectory cannot be selected
// or the directory's record count is unknown. Destruction failures of
// single keys are not reported.
CardResult purgeTransientSecretKeys(CardContext& context, uint32_t userType) noexcept;

}  // namespace korva::objects
