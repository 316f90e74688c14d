#include "bench/bench_token.h"

#include "tests/support/host_template.h"

#include <korva/pkcs11_constants.h>

#include <stdexcept>
#include <string>

namespace korva::bench {
namespace {

void require(abi::CK_RV rv, const char* step) {
    if (rv != abi::CKR_OK) throw std::runtime_error(std::string("bench token set-up: ") + step + " failed");
}

using test::Template;

BenchToken makeToken() {
    sim::CardOptions options;
    options.randomSeed = 11;
    TestHost host(options);
    const abi::ModuleFunctionTable& slots = *host.table();
    std::string label = "bench";
    label.resize(32, ' ');
    require(slots.initToken(host.context(), reinterpret_cast<const uint8_t*>("87654321"), 8,
                            reinterpret_cast<const uint8_t*>(label.data())),
            "initialisation");
    BenchToken token{host.card(), Bytes(KORVA_TOKEN_SETTINGS_SIZE), {}, {}, {}};
    abi::CK_ULONG length = abi::CK_ULONG(token.settings.size());
    require(slots.readTokenSettings(host.context(), token.settings.data(), &length), "settings");
    host.setSettings(token.settings);

    abi::LoginRecord* user = host.login(1, kUserPin);
    for (int i = 0; i < kDataObjects; ++i) {
        Template data;
        data.number(abi::CKA_CLASS, abi::CKO_DATA).flag(abi::CKA_TOKEN, true).flag(abi::CKA_PRIVATE, false);
        data.text(abi::CKA_LABEL, "bench data object " + std::to_string(i)).text(abi::CKA_APPLICATION, "bench");
        data.bytes(abi::CKA_VALUE, Bytes(100, uint8_t(i)));
        abi::ObjectHandle handle{};
        abi::ObjectSummary summary{};
        require(slots.createObject(host.contextPointer(), user, host.settings(), data.data(), data.size(), &handle,
                                   &summary),
                "data object");
        token.dataObjects.push_back(handle);
    }

    Template publicKey, privateKey;
    publicKey.flag(abi::CKA_TOKEN, true).text(abi::CKA_ID, "bench key").text(abi::CKA_LABEL, "bench key");
    privateKey.flag(abi::CKA_TOKEN, true).flag(abi::CKA_PRIVATE, true).text(abi::CKA_ID, "bench key");
    privateKey.text(abi::CKA_LABEL, "bench key").flag(abi::CKA_SIGN, true);
    const abi::CK_MECHANISM generation{abi::CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
    abi::ObjectSummary publicSummary{}, privateSummary{};
    require(slots.generateKeyPair(host.context(), user, host.settings(), publicKey.data(), publicKey.size(),
                                  privateKey.data(), privateKey.size(), &generation, &token.publicKey,
                                  &token.privateKey, &publicSummary, &privateSummary),
            "GOST key pair");
    host.resetCard();
    token.card = host.card();
    return token;
}

}  // namespace

const BenchToken& benchToken() {
    static const BenchToken token = makeToken();
    return token;
}

std::unique_ptr<TestHost> hostOnToken() {
    const BenchToken& token = benchToken();
    auto host = std::make_unique<TestHost>(token.card);
    host->setSettings(token.settings);
    return host;
}

}  // namespace korva::bench

namespace korva::bench {

abi::CK_RV tokenInfo(TestHost& host) {
    abi::CK_TOKEN_INFO info{};
    return host.table()->getTokenInfo(host.context(), host.settings(), &info);
}

abi::CK_RV findAllObjects(TestHost& host, const abi::LoginRecord* user, int& found) {
    found = 0;
    abi::FindCursor cursor{};
    abi::CK_RV rv = host.table()->findObjectsInit(host.context(), nullptr, nullptr, 0, &cursor);
    while (rv == abi::CKR_OK) {
        abi::CK_ATTRIBUTE* attributes = nullptr;
        abi::CK_ULONG count = 0;
        abi::ObjectHandle handle{};
        abi::CK_OBJECT_CLASS objectClass = 0;
        uint8_t isPrivate = 0;
        rv = host.table()->findNextObjectAttributes(host.context(), user, host.settings(), &cursor, &attributes, &count,
                                                    &handle, &objectClass, &isPrivate);
        if (rv == abi::CKR_OK) {
            host.table()->releaseAttributes(attributes, count);
            ++found;
        }
    }
    return rv == 8 ? abi::CKR_OK : rv;  // 8: the walk has ended
}

abi::CK_RV allAttributes(TestHost& host, const abi::ObjectHandle& handle) {
    abi::CK_ATTRIBUTE* attributes = nullptr;
    abi::CK_ULONG count = 0;
    abi::CK_OBJECT_CLASS objectClass = 0;
    uint8_t isPrivate = 0;
    const abi::CK_RV rv = host.table()->getAllAttributes(host.context(), nullptr, host.settings(), &handle, &attributes,
                                                         &count, &objectClass, &isPrivate);
    if (rv == abi::CKR_OK) host.table()->releaseAttributes(attributes, count);
    return rv;
}

abi::CK_RV signGostHash(TestHost& host, const abi::LoginRecord* user) {
    const abi::ObjectHandle key = benchToken().privateKey;
    const abi::CK_MECHANISM mechanism{abi::CKM_GOSTR3410, nullptr, 0};
    const uint8_t hash[32] = {0x5A};
    abi::OperationRecord record{};
    abi::CK_RV rv = host.table()->signInit(host.context(), nullptr, nullptr, &mechanism, &key, &record);
    if (rv != abi::CKR_OK) return rv;
    uint8_t signature[64];
    abi::CK_ULONG length = sizeof signature;
    return host.table()->sign(host.context(), user, nullptr, hash, sizeof hash, signature, &length, &key, &record,
                              mechanism.mechanism);
}

}  // namespace korva::bench
