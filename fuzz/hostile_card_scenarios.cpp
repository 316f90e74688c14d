#include "fuzz/hostile_card_scenarios.h"

#include "tests/support/host_template.h"

#include "common/openssl_ptr.h"
#include "objects/session_table.h"

#include <korva/pkcs11_constants.h>

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" const korva::abi::ModuleFunctionTable* GetFunctionList(void);

namespace korva::fuzz {

namespace {

using abi::CK_RV;
using abi::CK_ULONG;
using test::Template;

constexpr CK_ULONG kLargestBuffer = 1 << 16;
const Bytes kCryptoProA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

void fail(const char* what) {
    std::fprintf(stderr, "hostile card: %s\n", what);
    std::abort();
}

// A slot that succeeds reports no more bytes than the host's buffer holds.
void requireFits(CK_RV rv, CK_ULONG reported, size_t capacity, const char* slot) {
    if (rv != abi::CKR_OK || reported <= capacity) return;
    std::fprintf(stderr, "hostile card: %s reports %u bytes in a buffer of %zu\n", slot, unsigned(reported), capacity);
    std::abort();
}

// Reads every value of an attribute array the module handed out, as a host
// copying it would, then gives the array back through slot 63: a value
// shorter than its length is an AddressSanitizer report.
void readAndRelease(Session& s, abi::CK_ATTRIBUTE* attributes, CK_ULONG count) {
    volatile uint8_t sum = 0;
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        const auto* value = static_cast<const uint8_t*>(attributes[i].pValue);
        if (value == nullptr || attributes[i].ulValueLen == 0xFFFFFFFF) continue;
        for (CK_ULONG at = 0; at < attributes[i].ulValueLen; ++at) sum = uint8_t(sum + value[at]);
    }
    s.slots.releaseAttributes(attributes, count);
}

abi::LoginRecord loginRecord(uint8_t userType, const char* pin) {
    abi::LoginRecord record{};
    record.userType = userType;
    record.pinLength = uint32_t(std::strlen(pin));
    std::memcpy(record.pin, pin, record.pinLength);
    return record;
}

const uint8_t* bytesOf(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// The 32 label bytes initialisation takes.
std::array<uint8_t, 32> label() {
    std::array<uint8_t, 32> bytes;
    bytes.fill(' ');
    std::memcpy(bytes.data(), "hostile card", 12);
    return bytes;
}

// An output the slot fills after a length query, in a buffer of exactly the
// length it asked for. Gives the bytes, or nothing when a step failed.
template <typename Call>
Bytes queryThenFill(Session& s, const char* slot, Call call) {
    CK_ULONG length = 0;
    // Nothing to fetch after a length of 0 (a null buffer would ask again).
    if (s.note(call(nullptr, &length)) != abi::CKR_OK || length == 0 || length > kLargestBuffer) return {};
    Bytes out(length);
    const size_t capacity = out.size();
    const CK_RV rv = s.note(call(out.data(), &length));
    requireFits(rv, length, capacity, slot);
    if (rv != abi::CKR_OK) return {};
    out.resize(length);
    return out;
}

// One attribute's value through slot 13: the length, then the bytes.
Bytes readAttribute(Session& s, const abi::ObjectHandle& handle, uint32_t type) {
    abi::CK_ATTRIBUTE query{type, nullptr, 0};
    if (s.note(s.slots.getAttributeValue(s.host, &s.user, &s.settings, &handle, &query, 1)) != abi::CKR_OK ||
        query.ulValueLen == 0 || query.ulValueLen > kLargestBuffer) {
        return {};  // 0xFFFFFFFF (no such attribute) included
    }
    Bytes value(query.ulValueLen);
    const size_t capacity = value.size();
    query.pValue = value.data();
    const CK_RV rv = s.note(s.slots.getAttributeValue(s.host, &s.user, &s.settings, &handle, &query, 1));
    requireFits(rv, query.ulValueLen, capacity, "slot 13");
    if (rv != abi::CKR_OK) return {};
    value.resize(query.ulValueLen);
    return value;
}

void create(Session& s, Template& tmpl) {
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    s.note(s.slots.createObject(&s.host, &s.user, &s.settings, tmpl.data(), tmpl.size(), &handle, &summary));
}

void destroy(Session& s, const abi::ObjectHandle& handle) {
    s.note(s.slots.destroyObject(s.host, &s.user, &s.settings, &handle));
}

// --- the token --------------------------------------------------------------

void tokenInformation(Session& s) {
    queryThenFill(s, "slot 0",
                  [&](uint8_t* out, CK_ULONG* length) { return s.slots.readTokenSettings(s.host, out, length); });
    abi::CK_TOKEN_INFO info{};
    s.note(s.slots.getTokenInfo(s.host, &s.settings, &info));
    CK_ULONG counter = 0;
    s.note(s.slots.getChangeCounter(s.host, nullptr, nullptr, &counter));
    abi::CK_MECHANISM_INFO mechanismInfo{};
    s.note(s.slots.getMechanismInfo(s.host, nullptr, abi::CKM_GOSTR3410, &mechanismInfo));
    std::array<uint8_t, KORVA_TOKEN_SETTINGS_SIZE> bytes{};
    s.note(s.slots.getTokenSettings(s.host, &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5], &bytes[6],
                                    &bytes[7], &bytes[8], &bytes[9], &bytes[10], &bytes[11], &bytes[12], &bytes[13],
                                    &bytes[14], &bytes[15], &bytes[16]));
    CK_ULONG count = 0;
    if (s.note(s.slots.getMechanismsWithInfo(s.host, nullptr, nullptr, &count)) == abi::CKR_OK && count < 1024) {
        std::vector<abi::MechanismInfoEntry> entries(count);
        CK_ULONG filled = count;
        requireFits(s.note(s.slots.getMechanismsWithInfo(s.host, nullptr, entries.data(), &filled)), filled, count,
                    "slot 72");
    }
}

void loginAndLogout(Session& s) {
    s.note(s.slots.login(s.host, &s.settings, bytesOf(kUserPin), 8, abi::CKU_USER));
    s.note(s.slots.openUserSession(&s.host, &s.user));
    s.note(s.slots.resetSecurityState(s.host));
    s.note(s.slots.login(s.host, &s.settings, bytesOf(kSoPin), 8, abi::CKU_SO));
}

void pinChanges(Session& s) {
    s.note(s.slots.setPin(s.host, &s.settings, bytesOf(kUserPin), 8, bytesOf("13572468"), 8, abi::CKU_USER));
    s.note(s.slots.initUserPin(s.host, &s.securityOfficer, &s.settings, bytesOf("24681357"), 8));
}

void tokenInitialisation(Session& s) {
    const std::array<uint8_t, 32> text = label();
    s.note(s.slots.initToken(s.host, bytesOf(kSoPin), 8, text.data()));
}

// Initialisation with every settings value given: the values of the
// settings record the input holds (its bytes 2 to 16).
void tokenInitialisationWithSettings(Session& s) {
    const std::array<uint8_t, 32> text = label();
    const uint8_t* v = s.settings.begin + 2;
    s.note(s.slots.initTokenFull(s.host, bytesOf(kSoPin), 8, text.data(), v[0], v[1], v[2], v[3], v[4], v[5], v[6],
                                 v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14]));
}

void dataFiles(Session& s) {
    const Bytes data(300, 0x3C);
    s.note(s.slots.writeDataFile(s.host, &s.securityOfficer, 3, data.data(), CK_ULONG(data.size())));
    queryThenFill(s, "slot 60",
                  [&](uint8_t* out, CK_ULONG* length) { return s.slots.readDataFile(s.host, 3, out, length); });
    s.note(s.slots.writeDataFile(s.host, &s.securityOfficer, 3, nullptr, 0));
}

// --- the object store -------------------------------------------------------

void createObjects(Session& s) {
    Template data;
    data.number(abi::CKA_CLASS, abi::CKO_DATA).flag(abi::CKA_TOKEN, true).flag(abi::CKA_PRIVATE, true);
    data.text(abi::CKA_LABEL, "hostile").text(abi::CKA_APPLICATION, "fuzz").bytes(abi::CKA_VALUE, Bytes(40, 0x77));
    create(s, data);
    Template secret;
    secret.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, abi::CKK_AES);
    secret.flag(abi::CKA_TOKEN, true).bytes(abi::CKA_VALUE, Bytes(32, 0x2B));
    create(s, secret);
}

void createCertificate(Session& s) {
    Template certificate;
    certificate.number(abi::CKA_CLASS, abi::CKO_CERTIFICATE).flag(abi::CKA_TOKEN, true);
    certificate.number(abi::CKA_CERTIFICATE_TYPE, 0).text(abi::CKA_ID, "rsa").bytes(abi::CKA_VALUE, testCertificate());
    create(s, certificate);
}

void readObjects(Session& s) {
    readAttribute(s, kPrepared.dataObject, abi::CKA_VALUE);
    readAttribute(s, kPrepared.gostPublic, abi::CKA_VALUE);
    CK_ULONG size = 0;
    s.note(s.slots.getObjectSize(s.host, nullptr, nullptr, &kPrepared.gostCertificate, &size));
    abi::CK_ATTRIBUTE* attributes = nullptr;
    CK_ULONG count = 0;
    abi::CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    s.note(s.slots.getAllAttributes(s.host, nullptr, &s.settings, &kPrepared.gostPrivate, &attributes, &count,
                                    &objectClass, &isPrivate));
    readAndRelease(s, attributes, count);
}

void search(Session& s) {
    abi::FindCursor cursor{};
    if (s.note(s.slots.findObjectsInit(s.host, nullptr, nullptr, 0, &cursor)) != abi::CKR_OK) return;
    for (int i = 0; i < 40; ++i) {
        abi::CK_ATTRIBUTE* attributes = nullptr;
        CK_ULONG count = 0;
        abi::ObjectHandle handle{};
        abi::CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        const CK_RV rv = s.note(s.slots.findNextObjectAttributes(s.host, &s.user, &s.settings, &cursor, &attributes,
                                                                 &count, &handle, &objectClass, &isPrivate));
        readAndRelease(s, attributes, count);
        if (rv != abi::CKR_OK) break;  // the end of the walk (8) included
    }
    // The same walk filling a template of the host's, for the labels.
    Template keys;
    keys.number(abi::CKA_CLASS, abi::CKO_PRIVATE_KEY);
    cursor = {};
    if (s.note(s.slots.findObjectsInit(s.host, nullptr, keys.data(), keys.size(), &cursor)) != abi::CKR_OK) return;
    for (int i = 0; i < 40; ++i) {
        Bytes labelBuffer(64);
        abi::CK_ATTRIBUTE wanted{abi::CKA_LABEL, labelBuffer.data(), CK_ULONG(labelBuffer.size())};
        abi::ObjectHandle handle{};
        abi::CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        const CK_RV rv = s.note(s.slots.findNextObject(s.host, &s.user, &s.settings, &wanted, 1, &cursor, &handle,
                                                       &objectClass, &isPrivate));
        requireFits(rv, wanted.ulValueLen == 0xFFFFFFFF ? 0 : wanted.ulValueLen, labelBuffer.size(), "slot 15");
        if (rv != abi::CKR_OK) break;  // the end of the walk (8) included
    }
}

void updateAndDestroy(Session& s) {
    Template change;
    change.text(abi::CKA_LABEL, "renamed by a hostile card");
    s.note(s.slots.setAttributes(s.host, &s.user, &s.settings, &kPrepared.dataObject, change.data(), change.size()));
    destroy(s, kPrepared.dataObject);
}

void destroyKeysAndCertificate(Session& s) {
    destroy(s, kPrepared.gostCertificate);
    destroy(s, kPrepared.gostPrivate);
    destroy(s, kPrepared.rsaPublic);
}

// --- keys and signatures ----------------------------------------------------

void generatePair(Session& s, uint32_t mechanismType, Template& pub, Template& priv) {
    const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
    abi::ObjectHandle publicHandle{}, privateHandle{};
    abi::ObjectSummary publicSummary{}, privateSummary{};
    s.note(s.slots.generateKeyPair(s.host, &s.user, &s.settings, pub.data(), pub.size(), priv.data(), priv.size(),
                                   &mechanism, &publicHandle, &privateHandle, &publicSummary, &privateSummary));
}

void generateGostKeyPair(Session& s) {
    Template pub, priv;
    pub.bytes(abi::CKA_GOSTR3410_PARAMS, kCryptoProA).flag(abi::CKA_TOKEN, true).text(abi::CKA_ID, "fresh");
    priv.flag(abi::CKA_TOKEN, true).flag(abi::CKA_SIGN, true).flag(abi::CKA_PRIVATE, true).text(abi::CKA_ID, "fresh");
    generatePair(s, abi::CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv);
}

void generateRsaKeyPair(Session& s) {
    Template pub, priv;
    pub.number(abi::CKA_MODULUS_BITS, 1024).flag(abi::CKA_TOKEN, true).text(abi::CKA_ID, "fresh rsa");
    priv.flag(abi::CKA_TOKEN, true)
        .flag(abi::CKA_SIGN, true)
        .flag(abi::CKA_PRIVATE, true)
        .text(abi::CKA_ID, "fresh rsa");
    generatePair(s, abi::CKM_RSA_PKCS_KEY_PAIR_GEN, pub, priv);
}

// Signs `data` with the private key, then checks the signature with the
// public key: a recorded run ends in the card's "valid".
void signAndVerify(Session& s, uint32_t mechanismType, const abi::ObjectHandle& privateKey,
                   const abi::ObjectHandle& publicKey, const Bytes& data) {
    const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
    abi::OperationRecord state{};
    Bytes signature(128);
    if (s.note(s.slots.signInit(s.host, nullptr, nullptr, &mechanism, &privateKey, &state)) == abi::CKR_OK) {
        CK_ULONG length = CK_ULONG(signature.size());
        const CK_RV rv = s.note(s.slots.sign(s.host, &s.user, nullptr, data.data(), CK_ULONG(data.size()),
                                             signature.data(), &length, &privateKey, &state, mechanismType));
        requireFits(rv, length, signature.size(), "slot 24");
        signature.resize(rv == abi::CKR_OK ? length : 0);
    }
    state = {};
    if (s.note(s.slots.verifyInit(s.host, nullptr, nullptr, &mechanism, &publicKey, &state)) != abi::CKR_OK) return;
    s.note(s.slots.verify(s.host, &s.nobody, nullptr, data.data(), CK_ULONG(data.size()),
                          signature.empty() ? nullptr : signature.data(), CK_ULONG(signature.size()), &publicKey,
                          &state, mechanismType));
}

void signGost(Session& s) {
    signAndVerify(s, abi::CKM_GOSTR3410, kPrepared.gostPrivate, kPrepared.gostPublic, Bytes(32, 0x42));
}

void signRsa(Session& s) {
    signAndVerify(s, abi::CKM_RSA_PKCS, kPrepared.rsaPrivate, kPrepared.rsaPublic, Bytes(35, 0x42));
}

// Recovers the data from an RSA signature made on the card.
void verifyRecoverRsa(Session& s) {
    const abi::CK_MECHANISM mechanism{abi::CKM_RSA_PKCS, nullptr, 0};
    const Bytes data(20, 0x42);
    abi::OperationRecord state{};
    Bytes signature(128);
    if (s.note(s.slots.signInit(s.host, nullptr, nullptr, &mechanism, &kPrepared.rsaPrivate, &state)) == abi::CKR_OK) {
        CK_ULONG length = CK_ULONG(signature.size());
        const CK_RV rv =
            s.note(s.slots.sign(s.host, &s.user, nullptr, data.data(), CK_ULONG(data.size()), signature.data(), &length,
                                &kPrepared.rsaPrivate, &state, abi::CKM_RSA_PKCS));
        requireFits(rv, length, signature.size(), "slot 24");
    }
    state = {};
    if (s.note(s.slots.verifyRecoverInit(s.host, nullptr, nullptr, &mechanism, &kPrepared.rsaPublic, &state)) !=
        abi::CKR_OK) {
        return;
    }
    queryThenFill(s, "slot 40", [&](uint8_t* out, CK_ULONG* length) {
        return s.slots.verifyRecover(s.host, &s.nobody, nullptr, signature.data(), CK_ULONG(signature.size()), out,
                                     length, &kPrepared.rsaPublic, &state, abi::CKM_RSA_PKCS);
    });
}

void randomBytes(Session& s) {
    Bytes out(300);
    s.note(s.slots.generateRandom(s.host, nullptr, nullptr, out.data(), CK_ULONG(out.size())));
}

// --- ciphers ----------------------------------------------------------------

Bytes encryptWhole(Session& s, const abi::CK_MECHANISM& mechanism, const abi::ObjectHandle& key, const Bytes& plain) {
    abi::OperationRecord state{};
    if (s.note(s.slots.encryptInit(s.host, nullptr, nullptr, &mechanism, &key, &state)) != abi::CKR_OK) return {};
    Bytes out(plain.size() + 128);
    CK_ULONG length = CK_ULONG(out.size());
    const CK_RV rv = s.note(s.slots.encrypt(s.host, &s.user, nullptr, plain.data(), CK_ULONG(plain.size()), out.data(),
                                            &length, &key, &state, mechanism.mechanism));
    requireFits(rv, length, out.size(), "slot 30");
    out.resize(rv == abi::CKR_OK ? length : 0);
    return out;
}

// Encryption in pieces of 20 bytes, each into a buffer of its own, then the
// final step.
void encryptInPieces(Session& s, const abi::CK_MECHANISM& mechanism, const abi::ObjectHandle& key, const Bytes& plain) {
    abi::OperationRecord state{};
    if (s.note(s.slots.encryptInit(s.host, nullptr, nullptr, &mechanism, &key, &state)) != abi::CKR_OK) return;
    for (size_t at = 0; at < plain.size(); at += 20) {
        const size_t take = std::min<size_t>(20, plain.size() - at);
        Bytes piece(40);
        CK_ULONG length = CK_ULONG(piece.size());
        const CK_RV rv = s.note(s.slots.encryptUpdate(s.host, &s.user, nullptr, plain.data() + at, CK_ULONG(take),
                                                      piece.data(), &length, &key, &state, mechanism.mechanism));
        requireFits(rv, length, piece.size(), "slot 31");
        if (rv != abi::CKR_OK) return;
    }
    Bytes last(32);
    CK_ULONG length = CK_ULONG(last.size());
    requireFits(
        s.note(s.slots.encryptFinal(s.host, &s.user, nullptr, last.data(), &length, &key, &state, mechanism.mechanism)),
        length, last.size(), "slot 32");
}

// Decryption in pieces of 20 bytes, each into a buffer of its own, then the
// final step.
void decryptInPieces(Session& s, const abi::CK_MECHANISM& mechanism, const abi::ObjectHandle& key,
                     const Bytes& cipherText) {
    abi::OperationRecord state{};
    if (s.note(s.slots.decryptInit(s.host, nullptr, nullptr, &mechanism, &key, &state)) != abi::CKR_OK) return;
    for (size_t at = 0; at < cipherText.size(); at += 20) {
        const size_t take = std::min<size_t>(20, cipherText.size() - at);
        Bytes piece(40);
        CK_ULONG length = CK_ULONG(piece.size());
        const CK_RV rv = s.note(s.slots.decryptUpdate(s.host, &s.user, nullptr, cipherText.data() + at, CK_ULONG(take),
                                                      piece.data(), &length, &key, &state, mechanism.mechanism));
        requireFits(rv, length, piece.size(), "slot 35");
        if (rv != abi::CKR_OK) return;
    }
    Bytes last(32);
    CK_ULONG length = CK_ULONG(last.size());
    requireFits(
        s.note(s.slots.decryptFinal(s.host, &s.user, nullptr, last.data(), &length, &key, &state, mechanism.mechanism)),
        length, last.size(), "slot 36");
}

void secretKeyCipher(Session& s, uint32_t mechanismType, Bytes iv, const abi::ObjectHandle& key) {
    const abi::CK_MECHANISM mechanism{mechanismType, iv.data(), CK_ULONG(iv.size())};
    const Bytes plain(70, 0x5E);
    const Bytes cipherText = encryptWhole(s, mechanism, key, plain);
    encryptInPieces(s, mechanism, key, plain);
    decryptInPieces(s, mechanism, key, cipherText.empty() ? Bytes(64, 0x11) : cipherText);
}

void aesCipher(Session& s) { secretKeyCipher(s, abi::CKM_AES_CBC_PAD, Bytes(16, 0xA0), kPrepared.aesKey); }

void gostCipher(Session& s) { secretKeyCipher(s, abi::CKM_GOST28147, Bytes(8, 0xC0), kPrepared.gostSecretKey); }

void rsaCipher(Session& s) {
    const abi::CK_MECHANISM mechanism{abi::CKM_RSA_PKCS, nullptr, 0};
    const Bytes cipherText = encryptWhole(s, mechanism, kPrepared.rsaPublic, Bytes(20, 0x33));
    abi::OperationRecord state{};
    if (s.note(s.slots.decryptInit(s.host, nullptr, nullptr, &mechanism, &kPrepared.rsaPrivate, &state)) !=
        abi::CKR_OK) {
        return;
    }
    const Bytes input = cipherText.empty() ? Bytes(128, 0x11) : cipherText;
    Bytes out(128);
    CK_ULONG length = CK_ULONG(out.size());
    requireFits(s.note(s.slots.decrypt(s.host, &s.user, nullptr, input.data(), CK_ULONG(input.size()), out.data(),
                                       &length, &kPrepared.rsaPrivate, &state, abi::CKM_RSA_PKCS)),
                length, out.size(), "slot 34");
}

// --- secret keys ------------------------------------------------------------

void generateSecretKeys(Session& s) {
    Template aes;
    aes.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).flag(abi::CKA_TOKEN, true).number(abi::CKA_VALUE_LEN, 32);
    const abi::CK_MECHANISM mechanism{abi::CKM_AES_KEY_GEN, nullptr, 0};
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    s.note(s.slots.generateKey(s.host, &s.user, &s.settings, aes.data(), aes.size(), &mechanism, &handle, &summary));
}

// Wraps the extractable GOST key, then unwraps what came out into a new key.
void wrapAndUnwrap(Session& s) {
    Bytes ukm(8, 0x19);
    const abi::CK_MECHANISM mechanism{abi::CKM_GOST28147_KEY_WRAP, ukm.data(), CK_ULONG(ukm.size())};
    Bytes wrapped = queryThenFill(s, "slot 41", [&](uint8_t* out, CK_ULONG* length) {
        return s.slots.wrapKey(s.host, &s.user, nullptr, &mechanism, &kPrepared.gostWrappingKey,
                               &kPrepared.gostSecretKey, out, length);
    });
    if (wrapped.empty()) wrapped.assign(36, 0x44);
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).text(abi::CKA_LABEL, "unwrapped");
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    s.note(s.slots.unwrapKey(s.host, &s.user, &s.settings, &mechanism, &kPrepared.gostWrappingKey, wrapped.data(),
                             CK_ULONG(wrapped.size()), tmpl.data(), tmpl.size(), &handle, &summary));
}

// Agreement with the token's own public key (read from the card) as the
// other party's: kdf, public key length, key, UKM length, UKM.
void derive(Session& s) {
    Bytes peer = readAttribute(s, kPrepared.gostPublic, abi::CKA_VALUE);
    if (peer.size() != 64) peer.assign(64, 0x21);
    Bytes parameter = test::inlineDeriveParameter(peer, Bytes(8, 0x5C));
    const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410_DERIVE, parameter.data(), CK_ULONG(parameter.size())};
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, abi::CKK_GOST28147);
    abi::ObjectHandle handle{};
    abi::ObjectSummary summary{};
    s.note(s.slots.deriveKey(s.host, &s.user, &s.settings, &mechanism, &kPrepared.gostPrivate, tmpl.data(), tmpl.size(),
                             &handle, &summary));
}

// --- import, requests and messages -----------------------------------------

void importPkcs12(Session& s) {
    const Bytes& file = testPkcs12();
    abi::ObjectSummary certificate{}, publicKey{}, privateKey{};
    s.note(s.slots.importPkcs12(s.host, &s.user, &s.settings, file.data(), CK_ULONG(file.size()),
                                kPkcs12Password.data(), CK_ULONG(kPkcs12Password.size()), &certificate, &publicKey,
                                &privateKey));
}

void importCertificate(Session& s) {
    const Bytes& der = testCertificate();
    const uint8_t id[] = {'r', 's', 'a'};
    s.note(s.slots.importCertificate(s.host, &s.user, &s.settings, "imported", id, sizeof id, der.data(),
                                     CK_ULONG(der.size())));
}

void certificateRequest(Session& s) {
    using namespace std::string_literals;
    const std::string subject =
        "CN\0hostile card\0"
        "O\0fuzz\0"s;
    const std::string extensions =
        "keyUsage\0digitalSignature\0"
        "1\0"s;
    queryThenFill(s, "slot 48", [&](uint8_t* out, CK_ULONG* length) {
        return s.slots.createCertificateRequest(s.host, &s.user, &s.settings, &kPrepared.gostPublic,
                                                &kPrepared.gostPrivate, subject.data(), 2, out, length, nullptr, 0,
                                                extensions.data(), 1, 0);
    });
}

void signMessage(Session& s) {
    const Bytes data(50, 0x6D);
    queryThenFill(s, "slot 49", [&](uint8_t* out, CK_ULONG* length) {
        return s.slots.signMessage(s.host, &s.user, &s.settings, data.data(), CK_ULONG(data.size()),
                                   &kPrepared.gostCertificate, out, length, &kPrepared.gostPrivate, nullptr, 0, 0);
    });
}

constexpr Scenario kScenarios[] = {
    {"token-information", tokenInformation},
    {"login", loginAndLogout},
    {"pin-changes", pinChanges},
    {"token-initialisation", tokenInitialisation},
    {"data-files", dataFiles},
    {"create-objects", createObjects},
    {"create-certificate", createCertificate},
    {"read-objects", readObjects},
    {"search", search},
    {"update-and-destroy", updateAndDestroy},
    {"destroy-keys", destroyKeysAndCertificate},
    {"generate-gost-key-pair", generateGostKeyPair},
    {"generate-rsa-key-pair", generateRsaKeyPair},
    {"sign-gost", signGost},
    {"sign-rsa", signRsa},
    {"random", randomBytes},
    {"cipher-aes", aesCipher},
    {"cipher-gost28147", gostCipher},
    {"cipher-rsa", rsaCipher},
    {"generate-secret-key", generateSecretKeys},
    {"wrap-unwrap", wrapAndUnwrap},
    {"derive", derive},
    {"import-pkcs12", importPkcs12},
    {"import-certificate", importCertificate},
    {"certificate-request", certificateRequest},
    {"sign-message", signMessage},
    {"token-initialisation-with-settings", tokenInitialisationWithSettings},
    {"verify-recover-rsa", verifyRecoverRsa},
};

// --- test material ----------------------------------------------------------

template <typename T, typename Encode>
Bytes derOf(T* object, Encode encode) {
    const int length = object ? encode(object, nullptr) : 0;
    Bytes bytes(size_t(std::max(length, 0)));
    unsigned char* cursor = bytes.data();
    if (length > 0) encode(object, &cursor);
    return bytes;
}

struct Material {
    Bytes certificate;
    Bytes pkcs12;
};

Material makeMaterial() {
    const EvpPkeyPtr key(EVP_RSA_gen(1024));
    const X509Ptr certificate(X509_new());
    if (!key || !certificate) fail("no test key");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x4848);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 365);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, bytesOf("hostile card"), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) fail("no test certificate");
    using Pkcs12Ptr = OpenSslPtr<PKCS12, PKCS12_free>;
    const std::string password(kPkcs12Password);
    const Pkcs12Ptr file(
        PKCS12_create(password.c_str(), "hostile", key.get(), certificate.get(), nullptr, 0, 0, 0, 0, 0));
    Material material{derOf(certificate.get(), i2d_X509), derOf(file.get(), i2d_PKCS12)};
    if (material.certificate.empty() || material.pkcs12.empty()) fail("no test material");
    return material;
}

const Material& material() {
    static const Material made = makeMaterial();
    return made;
}

}  // namespace

Session::Session(abi::TransmitCallback transmit, std::span<const uint8_t, KORVA_TOKEN_SETTINGS_SIZE> settingsBytes)
    : slots(*GetFunctionList()),
      user(loginRecord(KORVA_USER_TYPE_USER, kUserPin)),
      securityOfficer(loginRecord(KORVA_USER_TYPE_SO, kSoPin)),
      nobody(loginRecord(0xFF, "")) {
    host.transmit = transmit;
    std::copy(settingsBytes.begin(), settingsBytes.end(), settingsBytes_.begin());
    settings.begin = settingsBytes_.data();
    settings.end = settingsBytes_.data() + settingsBytes_.size();
    settings.storageEnd = settings.end;
}

Session::~Session() { objects::destroySessionTable(static_cast<abi::HostSessionTable*>(host.cookie)); }

std::span<const Scenario> scenarios() { return kScenarios; }

const Bytes& testCertificate() { return material().certificate; }
const Bytes& testPkcs12() { return material().pkcs12; }

}  // namespace korva::fuzz
