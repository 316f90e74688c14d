// Slots 41 and 42 through the loaded module on the virtual card: a wrapped
// key is the engine's GOST 28147-89 encryption of the key followed by the
// engine's MAC of it under the UKM, and unwrapping gives back a key that
// ciphers as the original; anything refused creates nothing.
#include "tests/keys/secret_key_fixture.h"
#include "tests/sim_crypto/engine_keys.h"
#include "tests/support/stack_probe.h"

#include "common/openssl_ptr.h"

#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <algorithm>

namespace korva::test {
namespace {

using abi::CK_RV;

constexpr size_t kWrapped = 36;

// One GOST 28147-89 block enciphered by the engine under the CryptoPro-A
// S-box: its CBC mode with a zero IV over a single block.
Bytes engineEcbBlock(const Bytes& key, std::span<const uint8_t> block) {
    const EVP_CIPHER* cipher = EVP_get_cipherbyname("gost89-cbc");
    EXPECT_NE(cipher, nullptr);
    if (cipher == nullptr) return {};
    const EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
    const uint8_t zeroIv[8] = {};
    Bytes out(8);
    int length = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(context.get(), cipher, nullptr, key.data(), zeroIv), 1);
    EXPECT_GT(EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_SET_SBOX, 0,
                                  const_cast<char*>("id-Gost28147-89-CryptoPro-A-ParamSet")),
              0);
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    EXPECT_EQ(EVP_EncryptUpdate(context.get(), out.data(), &length, block.data(), 8), 1);
    return out;
}

// The engine's GOST 28147-89 MAC starts from zeros; a MAC started from the
// UKM is the same MAC over data whose first block has the UKM added.
Bytes engineMac(const Bytes& key, Bytes data, const Bytes& ukm) {
    for (size_t i = 0; i < ukm.size(); ++i) data[i] ^= ukm[i];
    const EvpPkeyPtr macKey(EVP_PKEY_new_mac_key(NID_id_Gost28147_89_MAC, nullptr, key.data(), int(key.size())));
    const EvpMdCtxPtr context(EVP_MD_CTX_new());
    EXPECT_TRUE(macKey && context);
    if (!macKey || !context) return {};
    EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, EVP_get_digestbyname("gost-mac"), nullptr, macKey.get()), 1);
    Bytes mac(4);
    size_t length = mac.size();
    EXPECT_EQ(EVP_DigestSign(context.get(), mac.data(), &length, data.data(), data.size()), 1);
    mac.resize(length);
    return mac;
}

class KeyWrapTest : public SecretKeyTest {
protected:
    void SetUp() override {
        SecretKeyTest::SetUp();
        wrapping = mustCreate(gostKey(wrappingValue, {}));
        Template extractable = gostKey(keyValue, {});
        extractable.flag(abi::CKA_EXTRACTABLE, true);
        key = mustCreate(extractable);
    }

    static Template gostKey(const Bytes& value, std::initializer_list<std::pair<uint32_t, bool>> flags) {
        Template tmpl;
        tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).number(abi::CKA_KEY_TYPE, abi::CKK_GOST28147);
        tmpl.bytes(abi::CKA_VALUE, value);
        for (const auto& [type, on] : flags) tmpl.flag(type, on);
        return tmpl;
    }

    CK_RV wrap(const abi::ObjectHandle& by, const abi::ObjectHandle& what, Bytes ukm, Bytes& out,
               uint32_t mechanismType = abi::CKM_GOST28147_KEY_WRAP) {
        abi::CK_MECHANISM mechanism{mechanismType, ukm.empty() ? nullptr : ukm.data(), uint32_t(ukm.size())};
        abi::CK_ULONG length = abi::CK_ULONG(out.size());
        const CK_RV rv = slots().wrapKey(host->context(), user(), nullptr, &mechanism, &by, &what,
                                         out.empty() ? nullptr : out.data(), &length);
        out.resize(length);
        return rv;
    }

    NewKey unwrap(const abi::ObjectHandle& by, Bytes wrapped, Bytes ukm, Template& tmpl) {
        abi::CK_MECHANISM mechanism{abi::CKM_GOST28147_KEY_WRAP, ukm.empty() ? nullptr : ukm.data(),
                                    uint32_t(ukm.size())};
        NewKey out;
        out.rv = slots().unwrapKey(host->context(), user(), host->settings(), &mechanism, &by, wrapped.data(),
                                   abi::CK_ULONG(wrapped.size()), tmpl.data(), tmpl.size(), &out.handle, &out.summary);
        return out;
    }

    Bytes keyOf(const abi::ObjectHandle& handle) {
        const Bytes body = cardBody(uint16_t(0x6300 | handle.record));
        return body.size() == 33 ? Bytes(body.begin() + 1, body.end()) : Bytes{};
    }

    static Template unwrapTemplate() {
        Template tmpl;
        tmpl.number(abi::CKA_CLASS, abi::CKO_SECRET_KEY).text(abi::CKA_LABEL, "unwrapped");
        return tmpl;
    }

    const Bytes wrappingValue = randomBytes(32);
    const Bytes keyValue = randomBytes(32);
    abi::ObjectHandle wrapping{}, key{};
};

TEST_F(KeyWrapTest, WrappedBytesAreTheEnginesAndUnwrapGivesTheKeyBack) {
    for (const Bytes& ukm : {Bytes{}, randomBytes(8)}) {
        Bytes wrapped(kWrapped);
        ASSERT_EQ(wrap(wrapping, key, ukm, wrapped), abi::CKR_OK);
        ASSERT_EQ(wrapped.size(), kWrapped);
        Bytes expected;
        for (size_t block = 0; block < 4; ++block) {
            const Bytes enciphered = engineEcbBlock(wrappingValue, std::span(keyValue).subspan(8 * block, 8));
            expected.insert(expected.end(), enciphered.begin(), enciphered.end());
        }
        const Bytes mac = engineMac(wrappingValue, keyValue, ukm.empty() ? Bytes(8, 0) : ukm);
        expected.insert(expected.end(), mac.begin(), mac.end());
        EXPECT_EQ(wrapped, expected);

        Template tmpl = unwrapTemplate();
        // Values the template offers never become the key, however many.
        tmpl.bytes(abi::CKA_VALUE, Bytes(32, 1)).bytes(abi::CKA_VALUE, Bytes(32, 2));
        const NewKey unwrapped = unwrap(wrapping, wrapped, ukm, tmpl);
        ASSERT_EQ(unwrapped.rv, abi::CKR_OK);
        EXPECT_EQ(keyOf(unwrapped.handle), keyValue);
        const std::optional<FoundObject> object = readAll(unwrapped.handle);
        ASSERT_TRUE(object);
        EXPECT_EQ(object->get(abi::CKA_LOCAL), Bytes{0});
        // The unwrapped key ciphers as the original does.
        const Bytes message = patternBytes(64, 9);
        const Outcome original = once(Direction::kEncrypt, abi::CKM_GOST28147_ECB, key, {}, message);
        ASSERT_EQ(original.rv, abi::CKR_OK);
        EXPECT_EQ(once(Direction::kEncrypt, abi::CKM_GOST28147_ECB, unwrapped.handle, {}, message).data, original.data);
    }
}

TEST_F(KeyWrapTest, LengthQueryTouchesNothing) {
    Bytes none;
    host->clearExchanges();
    EXPECT_EQ(wrap(wrapping, key, {}, none), abi::CKR_OK);
    EXPECT_EQ(none.size(), kWrapped);
    EXPECT_TRUE(host->exchanges().empty());
    Bytes shortOutput(kWrapped - 1);
    EXPECT_EQ(wrap(wrapping, key, {}, shortOutput), abi::CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortOutput.size(), kWrapped);
}

TEST_F(KeyWrapTest, KeysThatMayNotTakePartAreRefused) {
    const abi::ObjectHandle notExtractable = mustCreate(gostKey(randomBytes(32), {}));
    const abi::ObjectHandle noWrap = mustCreate(gostKey(randomBytes(32), {{abi::CKA_WRAP, false}}));
    Bytes out(kWrapped);
    EXPECT_EQ(wrap(wrapping, notExtractable, {}, out), abi::CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(wrap(noWrap, key, {}, out), abi::CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(wrap({wrapping.record, 0x50, 0x00}, key, {}, out), abi::CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(wrap(wrapping, key, Bytes(7, 1), out), abi::CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(wrap(wrapping, key, {}, out, abi::CKM_GOST28147_ECB), abi::CKR_MECHANISM_INVALID);
}

TEST_F(KeyWrapTest, UnwrapJudgesItsKeyBeforeTheLogin) {
    Bytes wrapped(kWrapped);
    ASSERT_EQ(wrap(wrapping, key, {}, wrapped), abi::CKR_OK);
    const abi::ObjectHandle noUnwrap = mustCreate(gostKey(randomBytes(32), {{abi::CKA_UNWRAP, false}}));
    const std::pair<abi::ObjectHandle, CK_RV> refused[] = {
        {{wrapping.record, 0x50, 0x00}, abi::CKR_KEY_HANDLE_INVALID},
        {noUnwrap, abi::CKR_KEY_FUNCTION_NOT_PERMITTED},
    };
    for (const auto& [by, expected] : refused) {
        host->clearExchanges();
        Template tmpl = unwrapTemplate();
        EXPECT_EQ(unwrap(by, wrapped, {}, tmpl).rv, expected);
        // No PIN try is spent on a key that cannot unwrap.
        for (const std::string& command : host->commandLog()) EXPECT_NE(command.rfind("00 20", 0), 0u) << command;
    }
}

// Neither operation leaves a copy of a key on the stack: wrap's two keys,
// and unwrap's key with the key it deciphers (refused here by its MAC, so
// that the key is not written to the card).
TEST_F(KeyWrapTest, KeyCopiesAreWipedFromTheStack) {
    Bytes wrapped(kWrapped);
    for (int call = 0; call < 2; ++call) ASSERT_EQ(wrap(wrapping, key, {}, wrapped), abi::CKR_OK);
    EXPECT_FALSE(stackBelowHolds(std::span(wrappingValue).first(16))) << "wrapping key after wrap";
    EXPECT_FALSE(stackBelowHolds(std::span(keyValue).first(16))) << "wrapped key after wrap";
    wrapped[35] ^= 0x01;
    Template tmpl = unwrapTemplate();
    for (int call = 0; call < 2; ++call) ASSERT_EQ(unwrap(wrapping, wrapped, {}, tmpl).rv, abi::CKR_SIGNATURE_INVALID);
    EXPECT_FALSE(stackBelowHolds(std::span(wrappingValue).first(16))) << "unwrapping key after unwrap";
    EXPECT_FALSE(stackBelowHolds(std::span(keyValue).first(16))) << "deciphered key after unwrap";
}

struct UnwrapRefusal {
    const char* name;
    size_t wrappedLength;
    bool alterMac;
    size_t extraAttributes;  // template entries beyond the class and label
    CK_RV expected;
};

const UnwrapRefusal kUnwrapRefusals[] = {
    {"AlteredMac", kWrapped, true, 0, abi::CKR_SIGNATURE_INVALID},
    {"LongerData", kWrapped + 1, false, 0, abi::CKR_FUNCTION_NOT_SUPPORTED},
    {"NoRoomForTheValue", kWrapped, false, 28, abi::CKR_VENDOR_ATTRIBUTE_LIST_FULL},
};

class RefusedUnwrap : public KeyWrapTest, public ::testing::WithParamInterface<UnwrapRefusal> {};

TEST_P(RefusedUnwrap, CreatesNothing) {
    const UnwrapRefusal& r = GetParam();
    Bytes wrapped(kWrapped);
    ASSERT_EQ(wrap(wrapping, key, {}, wrapped), abi::CKR_OK);
    if (r.alterMac) wrapped[35] ^= 0x01;
    wrapped.resize(r.wrappedLength);
    Template tmpl = unwrapTemplate();
    for (size_t i = 0; i < r.extraAttributes; ++i) tmpl.text(abi::CKA_APPLICATION, "x");
    const Bytes before = counters();
    EXPECT_EQ(unwrap(wrapping, wrapped, {}, tmpl).rv, r.expected);
    EXPECT_EQ(counters(), before);
}

INSTANTIATE_TEST_SUITE_P(Unwrap, RefusedUnwrap, ::testing::ValuesIn(kUnwrapRefusals),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace korva::test
