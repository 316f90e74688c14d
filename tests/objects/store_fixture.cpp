#include "tests/objects/store_fixture.h"

#include "common/openssl_ptr.h"
#include "objects/session_table.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

namespace korva::test {

namespace {

constexpr const char* kSoPin = "87654321";

Bytes bignumParameter(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) throw std::runtime_error("RSA parameter");
    BignumPtr number(raw);
    Bytes bytes(128);
    if (BN_bn2binpad(number.get(), bytes.data(), 128) != 128) throw std::runtime_error("RSA size");
    return bytes;
}

template <typename T, typename Encode>
Bytes der(const T* object, Encode encode) {
    const int length = encode(object, nullptr);
    Bytes bytes(size_t(length > 0 ? length : 0));
    unsigned char* cursor = bytes.data();
    encode(object, &cursor);
    return bytes;
}

TestKeyPair makeKeyPair() {
    EvpPkeyPtr key(EVP_RSA_gen(1024));
    if (!key) throw std::runtime_error("RSA generation");
    TestKeyPair pair;
    pair.modulus = bignumParameter(key.get(), OSSL_PKEY_PARAM_RSA_N);
    pair.privateExponent = bignumParameter(key.get(), OSSL_PKEY_PARAM_RSA_D);

    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x4242);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600L * 24 * 365);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("KORVA store test"), -1,
                               -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) throw std::runtime_error("certificate");
    pair.certificate = der(certificate.get(), i2d_X509);
    pair.subject = der(X509_get_subject_name(certificate.get()), i2d_X509_NAME);
    pair.serialNumber = der(X509_get0_serialNumber(certificate.get()), i2d_ASN1_INTEGER);
    return pair;
}

// Initialising a token costs a PIN derivation; each card size is
// initialised once and copied into every test.
const sim::VirtualCard& initialisedCard(uint32_t memorySize) {
    static std::mutex mutex;
    static std::map<uint32_t, sim::VirtualCard> cards;
    std::lock_guard lock(mutex);
    if (auto found = cards.find(memorySize); found != cards.end()) return found->second;
    sim::CardOptions options;
    options.memorySize = memorySize;
    options.randomSeed = 7;
    TestHost setup(options);
    std::string label = "object store";
    label.resize(32, ' ');
    const abi::CK_RV rv = setup.table()->initToken(setup.context(), reinterpret_cast<const uint8_t*>(kSoPin), 8,
                                                   reinterpret_cast<const uint8_t*>(label.data()));
    if (rv != abi::CKR_OK) throw std::runtime_error("token initialisation failed");
    return cards.emplace(memorySize, setup.card()).first->second;
}

}  // namespace

const TestKeyPair& testKeyPair() {
    static const TestKeyPair pair = makeKeyPair();
    return pair;
}

std::optional<Bytes> FoundObject::get(uint32_t type) const {
    for (const auto& [t, value] : attributes)
        if (t == type) return value;
    return std::nullopt;
}

bool FoundObject::has(uint32_t type) const {
    for (const auto& entry : attributes)
        if (entry.first == type) return true;
    return false;
}

void StoreTest::useCard(uint32_t memorySize) {
    host = std::make_unique<TestHost>(initialisedCard(memorySize));
    abi::CK_ULONG length = 17;
    ASSERT_EQ(slots().readTokenSettings(host->context(), settings.data(), &length), abi::CKR_OK);
    host->setSettings(Bytes(settings.begin(), settings.end()));
}

void StoreTest::TearDown() {
    if (!host) return;
    expectConsistent();
    objects::destroySessionTable(static_cast<abi::HostSessionTable*>(host->contextPointer()->cookie));
    host->contextPointer()->cookie = nullptr;
}

void StoreTest::expectConsistent() { EXPECT_STORE_CONSISTENT(host->card(), settings); }

void StoreTest::setGrowthStep(uint8_t step) {
    for (size_t byte : {6, 8, 10, 12, 14}) settings[byte] = step;
    host->setSettings(Bytes(settings.begin(), settings.end()));
}

void StoreTest::logOut() { ASSERT_EQ(slots().resetSecurityState(host->context()), abi::CKR_OK); }

abi::CK_RV StoreTest::create(Template& tmpl, abi::ObjectHandle& handle, abi::LoginRecord* login) {
    abi::ObjectSummary summary{};
    return slots().createObject(host->contextPointer(), login ? login : user(), host->settings(), tmpl.data(),
                                tmpl.size(), &handle, &summary);
}

abi::ObjectHandle StoreTest::mustCreate(Template& tmpl) {
    abi::ObjectHandle handle{};
    EXPECT_EQ(create(tmpl, handle), abi::CKR_OK);
    return handle;
}

abi::CK_RV StoreTest::destroy(const abi::ObjectHandle& handle, abi::LoginRecord* login) {
    return slots().destroyObject(host->context(), login ? login : user(), host->settings(), &handle);
}

abi::CK_RV StoreTest::readValue(const abi::ObjectHandle& handle, uint32_t type, Bytes& value, abi::LoginRecord* login) {
    abi::CK_ATTRIBUTE query{type, nullptr, 0};
    const abi::CK_RV rv =
        slots().getAttributeValue(host->context(), login ? login : user(), host->settings(), &handle, &query, 1);
    if (rv != abi::CKR_OK) return rv;
    value.assign(query.ulValueLen, 0);
    query.pValue = value.data();
    return slots().getAttributeValue(host->context(), login ? login : user(), host->settings(), &handle, &query, 1);
}

namespace {
FoundObject collect(abi::CK_ATTRIBUTE* array, uint32_t count) {
    FoundObject object;
    for (uint32_t i = 0; i < count; ++i) {
        const abi::CK_ATTRIBUTE& entry = array[i];
        std::optional<Bytes> value;
        if (entry.ulValueLen != 0xFFFFFFFF) {
            const auto* bytes = static_cast<const uint8_t*>(entry.pValue);
            value = bytes ? Bytes(bytes, bytes + entry.ulValueLen) : Bytes{};
        }
        object.attributes.emplace_back(entry.type, value);
    }
    return object;
}
}  // namespace

std::vector<FoundObject> StoreTest::findAll(abi::LoginRecord* login, const Template* filter) {
    std::vector<FoundObject> found;
    abi::FindCursor cursor{};
    Template none;
    const Template& tmpl = filter ? *filter : none;
    EXPECT_EQ(
        slots().findObjectsInit(host->context(), nullptr, const_cast<Template&>(tmpl).data(), tmpl.size(), &cursor),
        abi::CKR_OK);
    for (int guard = 0; guard < 1000; ++guard) {
        abi::CK_ATTRIBUTE* array = nullptr;
        abi::CK_ULONG count = 0;
        FoundObject object;
        const abi::CK_RV rv =
            slots().findNextObjectAttributes(host->context(), login ? login : user(), host->settings(), &cursor, &array,
                                             &count, &object.handle, &object.objectClass, &object.isPrivate);
        if (rv == 8) return found;
        EXPECT_EQ(rv, abi::CKR_OK);
        if (rv != abi::CKR_OK) return found;
        FoundObject collected = collect(array, count);
        slots().releaseAttributes(array, count);
        collected.handle = object.handle;
        collected.objectClass = object.objectClass;
        collected.isPrivate = object.isPrivate;
        found.push_back(std::move(collected));
    }
    ADD_FAILURE() << "the walk does not end";
    return found;
}

std::optional<FoundObject> StoreTest::readAll(const abi::ObjectHandle& handle, abi::CK_RV* rvOut) {
    abi::CK_ATTRIBUTE* array = nullptr;
    abi::CK_ULONG count = 0;
    FoundObject object;
    const abi::CK_RV rv = slots().getAllAttributes(host->context(), nullptr, host->settings(), &handle, &array, &count,
                                                   &object.objectClass, &object.isPrivate);
    if (rvOut) *rvOut = rv;
    if (rv != abi::CKR_OK) return std::nullopt;
    FoundObject collected = collect(array, count);
    slots().releaseAttributes(array, count);
    collected.handle = handle;
    collected.objectClass = object.objectClass;
    collected.isPrivate = object.isPrivate;
    return collected;
}

uint32_t StoreTest::changeCounter() {
    abi::CK_ULONG counter = 0;
    EXPECT_EQ(slots().getChangeCounter(host->context(), nullptr, nullptr, &counter), abi::CKR_OK);
    return counter;
}

Bytes StoreTest::counters() {
    sendToCard(host->card(), "00 A4 08 04 04 A1 BC 7F 01");
    sendToCard(host->card(), "00 A4 00 04 02 70 FE");
    const sim::Answer answer = sendToCard(host->card(), "00 B0 00 00 0E");
    EXPECT_EQ(answer.statusWord(), 0x9000);
    return answer.data;
}

Template StoreTest::dataObject(const std::string& label, const Bytes& value, bool isPrivate) {
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_DATA).flag(abi::CKA_TOKEN, true).flag(abi::CKA_PRIVATE, isPrivate);
    tmpl.text(abi::CKA_LABEL, label).text(abi::CKA_APPLICATION, "tests").bytes(abi::CKA_VALUE, value);
    return tmpl;
}

Template StoreTest::certificate(const std::string& id) {
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_CERTIFICATE).flag(abi::CKA_TOKEN, true).number(abi::CKA_CERTIFICATE_TYPE, 0);
    tmpl.text(abi::CKA_LABEL, "certificate " + id).bytes(abi::CKA_VALUE, testKeyPair().certificate);
    if (!id.empty()) tmpl.text(abi::CKA_ID, id);
    return tmpl;
}

Template StoreTest::publicKey(const std::string& id, bool encrypt) {
    static const Bytes kExponent{0x01, 0x00, 0x01};
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_PUBLIC_KEY).flag(abi::CKA_TOKEN, true).number(abi::CKA_KEY_TYPE, abi::CKK_RSA);
    tmpl.text(abi::CKA_ID, id).flag(abi::CKA_ENCRYPT, encrypt).flag(abi::CKA_VERIFY, true);
    tmpl.bytes(abi::CKA_MODULUS, testKeyPair().modulus).bytes(abi::CKA_PUBLIC_EXPONENT, kExponent);
    return tmpl;
}

Template StoreTest::privateKey(const std::string& id) {
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_PRIVATE_KEY).flag(abi::CKA_TOKEN, true).flag(abi::CKA_PRIVATE, true);
    tmpl.number(abi::CKA_KEY_TYPE, abi::CKK_RSA).text(abi::CKA_ID, id).flag(abi::CKA_SIGN, true);
    tmpl.bytes(abi::CKA_PRIVATE_EXPONENT, testKeyPair().privateExponent);
    return tmpl;
}

Template StoreTest::secretKey(uint32_t keyType, const Bytes& value, std::optional<bool> token) {
    Template tmpl;
    tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, keyType);
    if (token) tmpl.flag(abi::CKA_TOKEN, *token);
    tmpl.text(abi::CKA_LABEL, "secret").bytes(abi::CKA_VALUE, value);
    return tmpl;
}

sim::Answer sendToCard(sim::VirtualCard& card, const Bytes& apdu) { return card.transmit(apdu); }
sim::Answer sendToCard(sim::VirtualCard& card, const std::string& hexText) { return card.transmit(fromHex(hexText)); }

std::string handleText(const abi::ObjectHandle& handle) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", handle.record, handle.directoryHigh, handle.directoryLow);
    return text;
}

}  // namespace korva::test
