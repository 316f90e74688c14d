#include "host/trace.h"

#include <korva/rv_names.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace korva::host::trace {
namespace {

struct Name {
    unsigned long value;
    const char* text;
};
// clang-format off
#define N(name) {name, #name}
constexpr Name kMechanisms[] = {
    N(CKM_RSA_PKCS_KEY_PAIR_GEN), N(CKM_RSA_PKCS), N(CKM_RSA_X_509), N(CKM_SHA1_RSA_PKCS), N(CKM_SHA256_RSA_PKCS),
    N(CKM_SHA384_RSA_PKCS), N(CKM_SHA512_RSA_PKCS), N(CKM_SHA224_RSA_PKCS), N(CKM_RSA_PKCS_PSS),
    N(CKM_RSA_PKCS_OAEP), N(CKM_MD5), N(CKM_SHA_1), N(CKM_SHA224), N(CKM_SHA256), N(CKM_SHA384), N(CKM_SHA512),
    N(CKM_DES_KEY_GEN), N(CKM_DES_ECB), N(CKM_DES_CBC), N(CKM_DES_CBC_PAD), N(CKM_DES2_KEY_GEN),
    N(CKM_DES3_KEY_GEN), N(CKM_DES3_ECB), N(CKM_DES3_CBC), N(CKM_DES3_CBC_PAD), N(CKM_AES_KEY_GEN), N(CKM_AES_ECB),
    N(CKM_AES_CBC), N(CKM_AES_CBC_PAD), N(CKM_GOSTR3410_KEY_PAIR_GEN), N(CKM_GOSTR3410),
    N(CKM_GOSTR3410_WITH_GOSTR3411), N(CKM_GOSTR3410_KEY_WRAP), N(CKM_GOSTR3410_DERIVE), N(CKM_GOSTR3411),
    N(CKM_GOSTR3411_HMAC), N(CKM_GOST28147_KEY_GEN), N(CKM_GOST28147_ECB), N(CKM_GOST28147), N(CKM_GOST28147_MAC),
    N(CKM_GOST28147_KEY_WRAP), N(CKM_GOSTR3410_512_KEY_PAIR_GEN), N(CKM_GOSTR3410_512), N(CKM_GOSTR3410_12_DERIVE),
    N(CKM_GOSTR3410_WITH_GOSTR3411_12_256), N(CKM_GOSTR3410_WITH_GOSTR3411_12_512), N(CKM_GOSTR3411_12_256),
    N(CKM_GOSTR3411_12_512),
};

constexpr Name kAttributes[] = {
    N(CKA_CLASS), N(CKA_TOKEN), N(CKA_PRIVATE), N(CKA_LABEL), N(CKA_APPLICATION), N(CKA_VALUE), N(CKA_OBJECT_ID),
    N(CKA_CERTIFICATE_TYPE), N(CKA_ISSUER), N(CKA_SERIAL_NUMBER), N(CKA_TRUSTED), N(CKA_CERTIFICATE_CATEGORY),
    N(CKA_CHECK_VALUE), N(CKA_KEY_TYPE), N(CKA_SUBJECT), N(CKA_ID), N(CKA_SENSITIVE), N(CKA_ENCRYPT),
    N(CKA_DECRYPT), N(CKA_WRAP), N(CKA_UNWRAP), N(CKA_SIGN), N(CKA_SIGN_RECOVER), N(CKA_VERIFY),
    N(CKA_VERIFY_RECOVER), N(CKA_DERIVE), N(CKA_START_DATE), N(CKA_END_DATE), N(CKA_MODULUS), N(CKA_MODULUS_BITS),
    N(CKA_PUBLIC_EXPONENT), N(CKA_PRIVATE_EXPONENT), N(CKA_PRIME_1), N(CKA_PRIME_2), N(CKA_EXPONENT_1),
    N(CKA_EXPONENT_2), N(CKA_COEFFICIENT), N(CKA_VALUE_BITS), N(CKA_VALUE_LEN), N(CKA_EXTRACTABLE), N(CKA_LOCAL),
    N(CKA_NEVER_EXTRACTABLE), N(CKA_ALWAYS_SENSITIVE), N(CKA_KEY_GEN_MECHANISM), N(CKA_MODIFIABLE), N(CKA_COPYABLE),
    N(CKA_DESTROYABLE), N(CKA_EC_PARAMS), N(CKA_EC_POINT), N(CKA_ALWAYS_AUTHENTICATE), N(CKA_WRAP_WITH_TRUSTED),
    N(CKA_GOSTR3410_PARAMS), N(CKA_GOSTR3411_PARAMS), N(CKA_GOST28147_PARAMS), N(CKA_ALLOWED_MECHANISMS),
    N(CKA_VENDOR_KEY_REFERENCE),
};
#undef N
// clang-format on

std::string hexNumber(unsigned long value) {
    char number[24];
    std::snprintf(number, sizeof number, "0x%lX", value);
    return number;
}

template <size_t Count>
std::string nameIn(const Name (&table)[Count], unsigned long value) {
    for (const Name& name : table)
        if (name.value == value) return name.text;
    return hexNumber(value);
}

// The data fields of these commands hold PINs or key material.
constexpr uint8_t kSelect = 0xA4, kReadBinary = 0xB0, kUpdateBinary = 0xD6;

// The file each slot's card has selected last, as far as the trace saw it:
// the transparent files 63 nn (a GOST 28147-89 key) and E1 nn (an RSA
// private exponent) hold key values, read and written in the clear.
struct Selections {
    std::mutex mutex;
    std::map<ck_slot_id_t, uint16_t> files;
};

Selections& selections() {
    static Selections* const instance = new Selections;  // never destroyed: exchanges may come during exit
    return *instance;
}

bool holdsKeyValue(uint16_t file) { return (file >> 8) == 0x63 || (file >> 8) == 0xE1; }

// Notes a SELECT (its data ends with the file identifier, alone or at the
// end of a path); tells whether the command or its answer carries a key
// value or a PIN: VERIFY and CHANGE REFERENCE DATA (PINs, loaded keys), and
// READ and UPDATE BINARY of a key-value file.
bool secretExchange(ck_slot_id_t slot, std::span<const uint8_t> command) {
    if (command.size() < 2) return false;
    const uint8_t instruction = command[1];
    if (instruction == 0x20 || instruction == 0x24) return true;
    Selections& known = selections();
    std::lock_guard lock(known.mutex);
    if (instruction == kSelect) {
        if (command.size() >= 7 && command[4] >= 2 && command.size() >= 5u + command[4])
            known.files[slot] = static_cast<uint16_t>(command[3 + command[4]] << 8 | command[4 + command[4]]);
        else
            known.files.erase(slot);
        return false;
    }
    const auto file = known.files.find(slot);
    return (instruction == kReadBinary || instruction == kUpdateBinary) && file != known.files.end() &&
           holdsKeyValue(file->second);
}

void appendHex(std::string& text, std::span<const uint8_t> bytes, size_t maskFrom = SIZE_MAX) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += ' ';
        if (i >= maskFrom) {
            text += "**";
            continue;
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
}

thread_local int tracedDepth = 0;

}  // namespace

int level() noexcept {
    const char* value = std::getenv("KORVA_PKCS11_TRACE");
    if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return 0;
    return std::strcmp(value, "2") == 0 ? 2 : 1;
}

void line(int minimum, const std::string& text) noexcept {
    if (level() < minimum) return;
    std::fprintf(stderr, "korva-pkcs11: %s\n", text.c_str());
}

void notice(const std::string& text) noexcept { std::fprintf(stderr, "korva-pkcs11: %s\n", text.c_str()); }

std::string returnValueName(ck_rv_t rv) {
    const char* name = korva_rv_name(rv);
    return name != nullptr ? name : hexNumber(rv);
}
std::string mechanismName(ck_mechanism_type_t type) { return nameIn(kMechanisms, type); }
std::string attributeName(ck_attribute_type_t type) { return nameIn(kAttributes, type); }

void apdu(ck_slot_id_t slot, std::span<const uint8_t> command, std::span<const uint8_t> answer, uint8_t sw1,
          uint8_t sw2, uint32_t transportFailure) noexcept {
    if (level() < 2) return;
    try {
        const std::string prefix = "apdu slot " + std::to_string(slot);
        // The header (CLA INS P1 P2 Lc) stays readable; secret data after it,
        // and a secret answer, are masked.
        const bool secret = secretExchange(slot, command);
        std::string sent = prefix + " >";
        appendHex(sent, command, secret ? 5 : SIZE_MAX);
        line(2, sent);
        std::string received = prefix + " <";
        if (transportFailure != 0) {
            char number[40];
            std::snprintf(number, sizeof number, " transport failure 0x%08X", transportFailure);
            received += number;
        } else {
            appendHex(received, answer, secret ? 0 : SIZE_MAX);
            const uint8_t status[] = {sw1, sw2};
            appendHex(received, status);
        }
        line(2, received);
    } catch (...) {
        // A trace that cannot be written is no reason to fail the exchange.
    }
}

bool insideTracedCall() noexcept { return tracedDepth > 0; }
TracedCall::TracedCall() noexcept { ++tracedDepth; }
TracedCall::~TracedCall() { --tracedDepth; }

}  // namespace korva::host::trace
