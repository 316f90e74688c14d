// A hostile card at every exchange. Each scenario runs once on a clean
// token to count its exchanges; then, for every exchange and every fault
// (transport failure, an error status word, an answer cut short or longer
// than asked), it runs again from the same card with that one exchange
// spoiled. Every run must come back with a return value (the sanitizers
// watch for crashes, over-reads and leaks) and leave a token whose
// bookkeeping the layout checker accepts. Each scenario prints its row:
// exchanges, faults injected, outcomes by return value.
#include "tests/keys/pkcs12_fixture.h"
#include "tests/objects/store_fixture.h"
#include "tests/support/temp_path.h"

#include <korva/pkcs11_constants.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

namespace korva::test {
namespace {

using abi::CK_RV;
using namespace std::string_literals;

struct NamedFault {
    const char* name;
    // Builds the fault for an exchange whose clean answer carried `dataLength` bytes.
    std::function<Fault(size_t dataLength)> make;
};

const NamedFault kFaults[] = {
    {"transport", [](size_t) { return Fault::transport(); }},
    {"6F 00", [](size_t) { return Fault::status(0x6F, 0x00); }},
    {"69 82", [](size_t) { return Fault::status(0x69, 0x82); }},
    {"6A 82", [](size_t) { return Fault::status(0x6A, 0x82); }},
    {"6A 84", [](size_t) { return Fault::status(0x6A, 0x84); }},
    {"cut short", [](size_t length) { return Fault::truncate(uint32_t(length / 2)); }},
    {"longer", [](size_t) { return Fault::overlong(Bytes(7, 0xA5)); }},
};

class FaultSweep;

struct Scenario {
    const char* name;
    // Runs once before the card is copied: objects the scenario works on.
    std::function<void(FaultSweep&)> prepare;
    std::function<CK_RV(FaultSweep&)> run;
    // What the layout checker may find after a failed run, as substrings of
    // its problems (the sets below say why each is allowed).
    std::vector<std::string> mayLeave = {};
    // What it finds after every run, failed or not.
    std::vector<std::string> alwaysLeaves = {};
    // A failed initialisation leaves a token to be initialised again, whose
    // bookkeeping is not yet there to check.
    bool checkLayout = true;
};

// Creating an object that fails after its record was allocated leaves what it
// had written: a body without its record, counters not yet advanced, a
// container or name map entry not yet written or not yet matched. The
// object is not there; the token stays usable.
const std::vector<std::string> kCreationLeftovers = {"has no record", "records are in use", "container map entry",
                                                     "name map entry"};
// Destroying an object that fails part-way leaves the earlier steps done: the
// counters advance first, a body may be gone while its record stays.
const std::vector<std::string> kDestructionLeftovers = {"has no body", "has no record", "records are in use",
                                                        "name map entry"};
// A card whose answer to selecting a body means "no such file" (6A xx, or any
// status word ending in 82) keeps that body when its object is destroyed:
// the module can only believe the card.
const std::vector<std::string> kDeniedBodies = {"has no record"};
// Pairing a certificate with its key stops without a key when the public-key
// directory cannot be selected: the certificate is stored without its name.
const std::vector<std::string> kUnpairedCertificate = {"has no name map entry"};
// An import whose certificate cannot be stored takes its key pair away; the
// certificate leaves what any object's creation leaves (above) in the
// certificate directory 50 04 and its bodies 64 nn, and a name map entry
// that may name the key just taken away. Narrower than the creation list, so
// that a key file, record or count of the key pair left behind still shows.
const std::vector<std::string> kImportLeftovers = {"body 64", "count of 5004", "name map entry"};
// A key pair whose counters update fails is on the token all the same.
const std::vector<std::string> kKeyPairLeftovers = {"records are in use"};

// Problems of `report` that `scenario` does not allow after a run ending in `rv`.
std::vector<std::string> unexpectedProblems(const LayoutReport& report, const Scenario& scenario, abi::CK_RV rv) {
    std::vector<std::string> left;
    for (const std::string& problem : report.problems) {
        auto mentions = [&](const std::vector<std::string>& allowed) {
            return std::any_of(allowed.begin(), allowed.end(),
                               [&](const std::string& part) { return problem.find(part) != std::string::npos; });
        };
        if (mentions(scenario.alwaysLeaves) || (rv != abi::CKR_OK && mentions(scenario.mayLeave))) continue;
        left.push_back(problem);
    }
    return left;
}

class FaultSweep : public StoreTest, public ::testing::WithParamInterface<Scenario> {
public:
    // The scenarios below drive the fixture from outside.
    using StoreTest::certificate;
    using StoreTest::create;
    using StoreTest::dataObject;
    using StoreTest::destroy;
    using StoreTest::host;
    using StoreTest::mustCreate;
    using StoreTest::nobody;
    using StoreTest::privateKey;
    using StoreTest::publicKey;
    using StoreTest::readAll;
    using StoreTest::secretKey;
    using StoreTest::settings;
    using StoreTest::slots;
    using StoreTest::user;

    struct Pair {
        abi::ObjectHandle publicKey{}, privateKey{};
    };
    Pair pair;
    abi::ObjectHandle object{};
    // What a scenario prepares beside: the key to wrap; the wrapped key, the
    // derivation parameter or the PKCS#12 file. No run changes them.
    abi::ObjectHandle other{};
    Bytes material;

    CK_RV generate(uint32_t mechanismType, Template& pub, Template& priv) {
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        abi::ObjectSummary publicSummary{}, privateSummary{};
        return slots().generateKeyPair(host->context(), user(), host->settings(), pub.data(), pub.size(), priv.data(),
                                       priv.size(), &mechanism, &pair.publicKey, &pair.privateKey, &publicSummary,
                                       &privateSummary);
    }
    CK_RV generateGost(bool derive = false) {
        Template pub, priv;
        pub.bytes(abi::CKA_GOSTR3410_PARAMS, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01})
            .flag(abi::CKA_TOKEN, true)
            .flag(abi::CKA_VERIFY, true)
            .text(abi::CKA_ID, "sweep");
        priv.flag(abi::CKA_TOKEN, true)
            .flag(abi::CKA_SIGN, true)
            .flag(abi::CKA_PRIVATE, true)
            .text(abi::CKA_ID, "sweep");
        if (derive) priv.flag(abi::CKA_DERIVE, true);
        return generate(abi::CKM_GOSTR3410_KEY_PAIR_GEN, pub, priv);
    }
    CK_RV generateRsa() {
        Template pub, priv;
        pub.number(abi::CKA_MODULUS_BITS, 1024)
            .flag(abi::CKA_TOKEN, true)
            .flag(abi::CKA_VERIFY, true)
            .text(abi::CKA_ID, "rsa");
        priv.flag(abi::CKA_TOKEN, true).flag(abi::CKA_SIGN, true).flag(abi::CKA_PRIVATE, true).text(abi::CKA_ID, "rsa");
        return generate(abi::CKM_RSA_PKCS_KEY_PAIR_GEN, pub, priv);
    }
    CK_RV sign(uint32_t mechanismType, const Bytes& data) {
        abi::OperationRecord* state = host->operation();
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        if (const CK_RV rv = slots().signInit(host->context(), nullptr, nullptr, &mechanism, &pair.privateKey, state);
            rv != abi::CKR_OK) {
            return rv;
        }
        Bytes signature(256);
        abi::CK_ULONG length = abi::CK_ULONG(signature.size());
        return slots().sign(host->context(), user(), nullptr, data.data(), abi::CK_ULONG(data.size()), signature.data(),
                            &length, &pair.privateKey, state, mechanismType);
    }
    CK_RV verifyGost() {
        const Bytes hash(32, 0x5A);
        abi::OperationRecord* state = host->operation();
        const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410, nullptr, 0};
        if (const CK_RV rv = slots().verifyInit(host->context(), nullptr, nullptr, &mechanism, &pair.publicKey, state);
            rv != abi::CKR_OK) {
            return rv;
        }
        const Bytes signature(64, 0x11);  // wrong, so a clean run ends in the card's verdict
        return slots().verify(host->context(), nobody(), nullptr, hash.data(), 32, signature.data(), 64,
                              &pair.publicKey, state, abi::CKM_GOSTR3410);
    }
    CK_RV readEverything() {
        abi::CK_RV rv = abi::CKR_OK;
        (void)readAll(pair.privateKey, &rv);
        return rv;
    }
    CK_RV search() {
        abi::FindCursor* cursor = host->cursor();
        if (const CK_RV rv = slots().findObjectsInit(host->context(), nullptr, nullptr, 0, cursor); rv != abi::CKR_OK) {
            return rv;
        }
        for (int i = 0; i < 16; ++i) {
            abi::CK_ATTRIBUTE* attributes = nullptr;
            abi::CK_ULONG count = 0;
            abi::ObjectHandle handle{};
            abi::CK_OBJECT_CLASS objectClass = 0;
            uint8_t isPrivate = 0;
            const CK_RV rv = slots().findNextObjectAttributes(host->context(), user(), host->settings(), cursor,
                                                              &attributes, &count, &handle, &objectClass, &isPrivate);
            if (attributes != nullptr) slots().releaseAttributes(attributes, count);
            if (rv != abi::CKR_OK) return rv == 8 ? abi::CKR_OK : rv;  // 8: the walk is over
        }
        return abi::CKR_OK;
    }
    CK_RV relabel(const abi::ObjectHandle& handle) {
        Template change;
        change.text(abi::CKA_LABEL, "renamed by the sweep");
        return slots().setAttributes(host->context(), user(), host->settings(), &handle, change.data(), change.size());
    }
    CK_RV createAndKeep(Template&& tmpl) { return create(tmpl, object, user()); }
    static Template gostSecretKey(uint8_t fill, bool extractable = false) {
        Template key = secretKey(abi::CKK_GOST28147, Bytes(32, fill), false);
        key.bytes(abi::CKA_GOST28147_PARAMS, {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x1F, 0x01});
        if (extractable) key.flag(abi::CKA_EXTRACTABLE, true);
        return key;
    }
    // Slot 48 for the pair's public key, its private key found by CKA_ID.
    CK_RV request() {
        const std::string subject = "CN\0Card holder\0"s;
        const std::string attributes = "challengePassword\0pass phrase\0"s;
        const std::string extensions =
            "keyUsage\0digitalSignature\0"
            "1\0"s;
        Bytes der(4096);
        abi::CK_ULONG length = abi::CK_ULONG(der.size());
        return slots().createCertificateRequest(host->context(), user(), host->settings(), &pair.publicKey, nullptr,
                                                subject.data(), 1, der.data(), &length, attributes.data(), 1,
                                                extensions.data(), 1, 0);
    }
    // Slot 49 over fixed data with the certificate `object`.
    CK_RV signMessage() {
        const Bytes data(100, 0x4D);
        Bytes message(8192);
        abi::CK_ULONG length = abi::CK_ULONG(message.size());
        return slots().signMessage(host->context(), user(), host->settings(), data.data(), abi::CK_ULONG(data.size()),
                                   &object, message.data(), &length, nullptr, nullptr, 0, 0);
    }
    // Slot 41: `other` wrapped under `object`.
    CK_RV wrap(Bytes& wrapped) {
        const abi::CK_MECHANISM mechanism{abi::CKM_GOST28147_KEY_WRAP, nullptr, 0};
        wrapped.assign(36, 0);
        abi::CK_ULONG length = abi::CK_ULONG(wrapped.size());
        return slots().wrapKey(host->context(), user(), nullptr, &mechanism, &object, &other, wrapped.data(), &length);
    }
    // Slot 29 or 33, then slot 30 or 34 over `data` with the key `handle`.
    CK_RV cipher(bool encrypt, uint32_t mechanismType, const abi::ObjectHandle& handle, const Bytes& data) {
        abi::OperationRecord* state = host->operation();
        const abi::CK_MECHANISM mechanism{mechanismType, nullptr, 0};
        const auto init = encrypt ? slots().encryptInit : slots().decryptInit;
        if (const CK_RV rv = init(host->context(), nullptr, nullptr, &mechanism, &handle, state); rv != abi::CKR_OK) {
            return rv;
        }
        Bytes out(data.size() + 256);
        abi::CK_ULONG length = abi::CK_ULONG(out.size());
        const auto run = encrypt ? slots().encrypt : slots().decrypt;
        return run(host->context(), user(), nullptr, data.data(), abi::CK_ULONG(data.size()), out.data(), &length,
                   &handle, state, mechanismType);
    }
};

const Bytes kHash(32, 0x42);

// The token-level operations, the object store for every class, keys,
// signatures, ciphers, secret keys made, wrapped, unwrapped and derived on
// the card, imports, certificate requests and signed messages. New
// operations join the table as they land.
// clang-format off
const Scenario kScenarios[] = {
    {"TokenInformation", {}, [](FaultSweep& t) {
         abi::CK_TOKEN_INFO info{};
         return t.slots().getTokenInfo(t.host->context(), t.host->settings(), &info);
     }},
    {"UserLogin", {}, [](FaultSweep& t) {
         const std::string pin = kUserPin;
         return t.slots().login(t.host->context(), t.host->settings(), reinterpret_cast<const uint8_t*>(pin.data()),
                                abi::CK_ULONG(pin.size()), 1);
     }},
    {"UserPinChange", {}, [](FaultSweep& t) {
         const std::string from = kUserPin, to = "13572468";
         return t.slots().setPin(t.host->context(), t.host->settings(), reinterpret_cast<const uint8_t*>(from.data()),
                                 abi::CK_ULONG(from.size()), reinterpret_cast<const uint8_t*>(to.data()),
                                 abi::CK_ULONG(to.size()), 1);
     }},
    {"UserPinSetBySecurityOfficer", {}, [](FaultSweep& t) {
         const std::string pin = "24681357";
         return t.slots().initUserPin(t.host->context(), t.host->login(0, "87654321"), t.host->settings(),
                                      reinterpret_cast<const uint8_t*>(pin.data()), abi::CK_ULONG(pin.size()));
     }},
    {"TokenInitialisation", {}, [](FaultSweep& t) {
         const std::string soPin = "87654321";
         uint8_t label[32];
         std::fill(std::begin(label), std::end(label), uint8_t(' '));
         return t.slots().initToken(t.host->context(), reinterpret_cast<const uint8_t*>(soPin.data()),
                                    abi::CK_ULONG(soPin.size()), label);
     }, {}, {}, false},
    {"DataFileWrite", {}, [](FaultSweep& t) {
         const Bytes data(300, 0x3C);
         return t.slots().writeDataFile(t.host->context(), t.host->login(0, "87654321"), 3, data.data(),
                                        abi::CK_ULONG(data.size()));
     }},
    {"CreateDataObject", {}, [](FaultSweep& t) {
         return t.createAndKeep(FaultSweep::dataObject("sweep", Bytes(40, 0x77), true));
     }, kCreationLeftovers},
    {"CreateCertificate", [](FaultSweep& t) { ASSERT_EQ(t.generateRsa(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.createAndKeep(FaultSweep::certificate("rsa")); }, kCreationLeftovers,
     kUnpairedCertificate},
    {"CreatePublicKey", {}, [](FaultSweep& t) { return t.createAndKeep(FaultSweep::publicKey("loaded")); },
     kCreationLeftovers},
    {"CreatePrivateKey", [](FaultSweep& t) { t.mustCreate(FaultSweep::publicKey("loaded")); },
     [](FaultSweep& t) { return t.createAndKeep(FaultSweep::privateKey("loaded")); },
     kCreationLeftovers},
    {"CreateSecretKey", {}, [](FaultSweep& t) {
         return t.createAndKeep(FaultSweep::secretKey(abi::CKK_DES2, Bytes(16, 0x2B)));
     }, kCreationLeftovers},
    {"ReadAllAttributes", [](FaultSweep& t) { ASSERT_EQ(t.generateGost(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.readEverything(); }},
    {"Search", [](FaultSweep& t) {
         ASSERT_EQ(t.generateGost(), abi::CKR_OK);
         t.mustCreate(FaultSweep::dataObject("one", Bytes(8, 1)));
         t.mustCreate(FaultSweep::certificate("sweep"));
     },
     [](FaultSweep& t) { return t.search(); }},
    {"UpdateDataObject", [](FaultSweep& t) { t.object = t.mustCreate(FaultSweep::dataObject("x", Bytes(8, 1))); },
     [](FaultSweep& t) { return t.relabel(t.object); }},
    {"DestroyDataObject", [](FaultSweep& t) { t.object = t.mustCreate(FaultSweep::dataObject("x", Bytes(8, 1))); },
     [](FaultSweep& t) { return t.destroy(t.object, t.user()); }, kDestructionLeftovers, kDeniedBodies},
    {"DestroyCertificate", [](FaultSweep& t) {
         ASSERT_EQ(t.generateGost(), abi::CKR_OK);
         t.object = t.mustCreate(FaultSweep::certificate("sweep"));
     },
     [](FaultSweep& t) { return t.destroy(t.object, t.user()); }, kDestructionLeftovers, kDeniedBodies},
    {"DestroyPrivateKey", [](FaultSweep& t) { ASSERT_EQ(t.generateGost(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.destroy(t.pair.privateKey, t.user()); }, kDestructionLeftovers,
     {"names a missing card key"}},
    {"GenerateGostKeyPair", {}, [](FaultSweep& t) { return t.generateGost(); }, kKeyPairLeftovers},
    {"GenerateRsaKeyPair", {}, [](FaultSweep& t) { return t.generateRsa(); }, kKeyPairLeftovers},
    {"SignGost", [](FaultSweep& t) { ASSERT_EQ(t.generateGost(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.sign(abi::CKM_GOSTR3410, kHash); }},
    {"SignRsa", [](FaultSweep& t) { ASSERT_EQ(t.generateRsa(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.sign(abi::CKM_RSA_PKCS, kHash); }},
    {"VerifyGost", [](FaultSweep& t) { ASSERT_EQ(t.generateGost(), abi::CKR_OK); },
     [](FaultSweep& t) {
         const CK_RV rv = t.verifyGost();
         return rv == abi::CKR_SIGNATURE_INVALID ? abi::CKR_OK : rv;
     }},
    {"RandomBytes", {}, [](FaultSweep& t) {
         Bytes out(64);
         return t.slots().generateRandom(t.host->context(), nullptr, nullptr, out.data(), abi::CK_ULONG(out.size()));
     }},
    {"EncryptAesOnTheCard",
     [](FaultSweep& t) { t.object = t.mustCreate(FaultSweep::secretKey(abi::CKK_AES, Bytes(16, 7))); },
     [](FaultSweep& t) { return t.cipher(true, abi::CKM_AES_CBC_PAD, t.object, Bytes(300, 0x21)); }},
    {"DecryptGostCfb", [](FaultSweep& t) { t.object = t.mustCreate(FaultSweep::gostSecretKey(9)); },
     [](FaultSweep& t) { return t.cipher(false, abi::CKM_GOST28147, t.object, Bytes(40, 0x21)); }},
    {"EncryptRsa", [](FaultSweep& t) { ASSERT_EQ(t.generateRsa(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.cipher(true, abi::CKM_RSA_PKCS, t.pair.publicKey, Bytes(100, 0x21)); }},
    {"DecryptRsa", [](FaultSweep& t) { ASSERT_EQ(t.generateRsa(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.cipher(false, abi::CKM_RSA_X_509, t.pair.privateKey, Bytes(128, 0x00)); }},
    {"GenerateSecretKey", {}, [](FaultSweep& t) {
         Template tmpl;
         tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).flag(abi::CKA_TOKEN, true).text(abi::CKA_LABEL, "generated");
         const abi::CK_MECHANISM mechanism{abi::CKM_DES2_KEY_GEN, nullptr, 0};
         abi::ObjectSummary summary{};
         return t.slots().generateKey(t.host->context(), t.user(), t.host->settings(), tmpl.data(), tmpl.size(),
                                      &mechanism, &t.object, &summary);
     }, kCreationLeftovers},
    {"WrapGostKey", [](FaultSweep& t) {
         t.object = t.mustCreate(FaultSweep::gostSecretKey(9));
         t.other = t.mustCreate(FaultSweep::gostSecretKey(0x3E, true));
     },
     [](FaultSweep& t) {
         Bytes wrapped;
         return t.wrap(wrapped);
     }},
    {"UnwrapGostKey", [](FaultSweep& t) {
         t.object = t.mustCreate(FaultSweep::gostSecretKey(9));
         t.other = t.mustCreate(FaultSweep::gostSecretKey(0x3E, true));
         ASSERT_EQ(t.wrap(t.material), abi::CKR_OK);
     },
     [](FaultSweep& t) {
         const abi::CK_MECHANISM mechanism{abi::CKM_GOST28147_KEY_WRAP, nullptr, 0};
         Template tmpl;
         tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).text(abi::CKA_LABEL, "unwrapped");
         abi::ObjectHandle handle{};
         abi::ObjectSummary summary{};
         return t.slots().unwrapKey(t.host->context(), t.user(), t.host->settings(), &mechanism, &t.object,
                                    t.material.data(), abi::CK_ULONG(t.material.size()), tmpl.data(), tmpl.size(),
                                    &handle, &summary);
     }, kCreationLeftovers},
    {"DeriveGostKey", [](FaultSweep& t) {
         ASSERT_EQ(t.generateGost(true), abi::CKR_OK);
         // Here the pair agrees with itself.
         const Bytes publicKey = t.readAll(t.pair.publicKey)->get(abi::CKA_VALUE).value_or(Bytes{});
         t.material = inlineDeriveParameter(publicKey, Bytes(8, 0x6D));
     },
     [](FaultSweep& t) {
         const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410_DERIVE, t.material.data(),
                                           abi::CK_ULONG(t.material.size())};
         Template tmpl;
         tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, abi::CKK_GOST28147);
         abi::ObjectSummary summary{};
         return t.slots().deriveKey(t.host->context(), t.user(), t.host->settings(), &mechanism, &t.pair.privateKey,
                                    tmpl.data(), tmpl.size(), &t.object, &summary);
     }, kCreationLeftovers},
    {"ImportPkcs12", [](FaultSweep& t) {
         const EvpPkeyPtr key = makeRsaKey(1024);
         const X509Ptr certificate = makeCertificate(key.get(), "");
         t.material = makePkcs12(key.get(), certificate.get(), "sweep", Pkcs12Algorithms::kToday);
         ASSERT_FALSE(t.material.empty());
     },
     [](FaultSweep& t) {
         abi::ObjectSummary certificate{}, publicKey{}, privateKey{};
         return t.slots().importPkcs12(t.host->context(), t.user(), t.host->settings(), t.material.data(),
                                       abi::CK_ULONG(t.material.size()), "sweep", 5, &certificate, &publicKey,
                                       &privateKey);
     }, kImportLeftovers, kUnpairedCertificate},
    {"ImportCertificate", {}, [](FaultSweep& t) {
         const Bytes& der = testKeyPair().certificate;
         const Bytes id{'i', 'm', 'p'};
         return t.slots().importCertificate(t.host->context(), t.user(), t.host->settings(), "imported", id.data(),
                                            abi::CK_ULONG(id.size()), der.data(), abi::CK_ULONG(der.size()));
     }, kCreationLeftovers},
    {"CertificateRequestGost", [](FaultSweep& t) { ASSERT_EQ(t.generateGost(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.request(); }},
    {"CertificateRequestRsa", [](FaultSweep& t) { ASSERT_EQ(t.generateRsa(), abi::CKR_OK); },
     [](FaultSweep& t) { return t.request(); }},
    {"SignMessageGost", [](FaultSweep& t) {
         ASSERT_EQ(t.generateGost(), abi::CKR_OK);
         // Any GOST certificate with the key's CKA_ID: the card signs, and
         // nothing here judges the signature against the certificate.
         const EvpPkeyPtr key = makeGostKey("A");
         ASSERT_TRUE(key);
         const X509Ptr certificate = makeCertificate(key.get(), "");
         ASSERT_TRUE(certificate);
         Template tmpl;
         tmpl.number(abi::CKA_CLASS, abi::CKO_CERTIFICATE)
             .flag(abi::CKA_TOKEN, true)
             .number(abi::CKA_CERTIFICATE_TYPE, 0);
         tmpl.text(abi::CKA_ID, "sweep").bytes(abi::CKA_VALUE, derOf(certificate.get()));
         t.object = t.mustCreate(tmpl);
     },
     [](FaultSweep& t) { return t.signMessage(); }},
    {"SignMessageRsa", [](FaultSweep& t) {
         ASSERT_EQ(t.generateRsa(), abi::CKR_OK);
         t.object = t.mustCreate(FaultSweep::certificate("rsa"));
     },
     [](FaultSweep& t) { return t.signMessage(); }},
};
// clang-format on

// The secrets a card holds after a run: what the module presented or set
// as a PIN (references 05, 07, 09), the private part of every key file and
// every body only a PIN holder reads, as the open card's dump shows them.
std::vector<Bytes> secretsOf(const std::vector<Exchange>& exchanges, const sim::VirtualCard& card) {
    std::vector<Bytes> secrets;
    for (const Exchange& e : exchanges) {
        const Bytes& c = e.command;
        const bool pinCommand = c.size() > 5 && (c[1] == 0x20 || c[1] == 0x24 || c[1] == 0x2C);
        if (pinCommand && (c[3] == 0x05 || c[3] == 0x07 || c[3] == 0x09)) secrets.emplace_back(c.begin() + 5, c.end());
    }
    std::istringstream dump(card.dumpTree());
    std::string line;
    bool confidential = false;
    const auto field = [&](const std::string& name) {
        const size_t at = line.find(name);
        return at == std::string::npos ? std::string()
                                       : line.substr(at + name.size(), line.find(' ', at) - at - name.size());
    };
    while (std::getline(dump, line)) {
        if (const std::string body = field("body="); !body.empty()) {
            if (confidential && body.find_first_not_of('0') != std::string::npos) secrets.push_back(fromHex(body));
            continue;
        }
        const std::string sa = field("sa="), secret = field("secret=");
        const std::string fd = field("fd=");
        confidential =
            (fd == "01" || fd == "12") && sa.size() > 7 && sa.substr(6, 2) != "00" && sa.substr(6, 2) != "10";
        const size_t publicPart = field("a5=").find("850122") != std::string::npos ? 2 * 136 : 0;
        if (secret.size() > publicPart) secrets.push_back(fromHex(secret.substr(publicPart)));
    }
    return secrets;
}

// The card file of a card that has run a scenario holds none of its secrets.
void expectSealedCardFile(const std::vector<Exchange>& exchanges, const sim::VirtualCard& card) {
    const TempPath file("korva-sweep-card", TempPath::Storage::memoryWhereAvailable);
    card.save(file);
    std::ifstream in(file.path(), std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(in), {}};
    for (const Bytes& secret : secretsOf(exchanges, card)) {
        EXPECT_EQ(std::search(bytes.begin(), bytes.end(), secret.begin(), secret.end()), bytes.end())
            << "the card file holds " << secret.size() << " secret bytes";
    }
}

std::string rvText(CK_RV rv) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", unsigned(rv));
    return text;
}

TEST_P(FaultSweep, EveryFaultAtEveryExchangeEndsInAReturnValueAndASoundToken) {
    const Scenario& scenario = GetParam();
    if (scenario.prepare) scenario.prepare(*this);
    ASSERT_FALSE(HasFatalFailure());
    const sim::VirtualCard base = host->card();
    const FaultSweep::Pair preparedPair = pair;
    const abi::ObjectHandle preparedObject = object;

    host->clearExchanges();
    ASSERT_EQ(scenario.run(*this), abi::CKR_OK) << "the clean run";
    const std::vector<Exchange> clean = host->exchanges();
    ASSERT_FALSE(clean.empty()) << "a scenario that never reaches the card proves nothing here";
    expectSealedCardFile(clean, host->card());

    std::map<CK_RV, size_t> outcomes;
    size_t injected = 0;
    for (size_t index = 1; index <= clean.size(); ++index) {
        for (const NamedFault& fault : kFaults) {
            host->replaceCard(base);
            pair = preparedPair;
            object = preparedObject;
            host->clearFaults();
            host->clearExchanges();
            host->failAt(index, fault.make(clean[index - 1].response.size()));
            const CK_RV rv = scenario.run(*this);
            ++outcomes[rv];
            ++injected;
            host->clearFaults();
            if (scenario.checkLayout) {
                // A fresh look, as after the card is inserted again: a spoiled
                // exchange may have left a command chain open on the card.
                host->resetCard();
                const std::vector<std::string> problems =
                    unexpectedProblems(checkObjectStore(host->card(), settings), scenario, rv);
                EXPECT_TRUE(problems.empty()) << "exchange " << index << " (" << clean[index - 1].describe() << "), "
                                              << fault.name << " -> " << rvText(rv) << ": " << problems.front();
            }
        }
    }

    std::string row = std::string(scenario.name) + ": " + std::to_string(clean.size()) + " exchanges, " +
                      std::to_string(injected) + " faults:";
    for (const auto& [rv, count] : outcomes) row += " " + rvText(rv) + "x" + std::to_string(count);
    std::printf("[ sweep    ] %s\n", row.c_str());
    RecordProperty("outcomes", row);
    host->replaceCard(base);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace korva::test
