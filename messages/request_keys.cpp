#include "messages/request_keys.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <vector>

namespace korva::messages {
namespace {

using Der = std::vector<uint8_t>;

// DER of a value shorter than 256 bytes, which is all these keys need.
Der tagged(uint8_t tag, const Der& content) {
    Der out{tag};
    if (content.size() >= 0x80) out.push_back(0x81);
    out.push_back(uint8_t(content.size()));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Der objectDer(int nid) {
    const ASN1_OBJECT* object = OBJ_nid2obj(nid);
    const int length = object ? OBJ_length(object) : 0;
    if (length <= 0) return {};
    const unsigned char* data = OBJ_get0_data(object);
    return tagged(0x06, Der(data, data + length));
}

bool onCurve(const CurveRow& curve, std::span<const uint8_t> point) {
    const std::size_t half = point.size() / 2;
    const EcGroupPtr group = buildCurve(curve);
    const BignumPtr x(BN_lebin2bn(point.data(), int(half), nullptr));
    const BignumPtr y(BN_lebin2bn(point.data() + half, int(half), nullptr));
    if (!group || !x || !y) return false;
    const OpenSslPtr<EC_POINT, EC_POINT_free> p(EC_POINT_new(group.get()));
    // Setting the coordinates checks that the point lies on the curve.
    return p && EC_POINT_set_affine_coordinates(group.get(), p.get(), x.get(), y.get(), nullptr) == 1;
}

}  // namespace

EvpPkeyPtr gostPublicKey(const GostProfile& profile, const CurveRow& curve, std::span<const uint8_t> point) {
    const std::size_t coordinate = profile.hashLength;
    if (point.size() != 2 * coordinate || !onCurve(curve, point)) return nullptr;
    Der parameters = objectDer(curve.nid);
    if (profile.digestParameterNid != NID_undef) {
        const Der digest = objectDer(profile.digestParameterNid);
        parameters.insert(parameters.end(), digest.begin(), digest.end());
    }
    Der algorithm = objectDer(profile.keyNid);
    const Der parameterSequence = tagged(0x30, parameters);
    algorithm.insert(algorithm.end(), parameterSequence.begin(), parameterSequence.end());

    Der bitString{0x00};  // no unused bits
    const Der octets = tagged(0x04, Der(point.begin(), point.end()));
    bitString.insert(bitString.end(), octets.begin(), octets.end());

    Der spki = tagged(0x30, algorithm);
    const Der key = tagged(0x03, bitString);
    spki.insert(spki.end(), key.begin(), key.end());
    Der whole = tagged(0x30, spki);
    const unsigned char* cursor = whole.data();
    return EvpPkeyPtr(d2i_PUBKEY(nullptr, &cursor, long(whole.size())));
}

EvpPkeyPtr rsaPublicKey(std::span<const uint8_t> modulus, std::span<const uint8_t> exponent) {
    const BignumPtr n(BN_bin2bn(modulus.data(), int(modulus.size()), nullptr));
    const BignumPtr e(BN_bin2bn(exponent.data(), int(exponent.size()), nullptr));
    return n && e ? rsaKey(n.get(), e.get(), nullptr) : nullptr;
}

EvpPkeyPtr rsaKey(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d) {
    const OsslParamBldPtr build(OSSL_PARAM_BLD_new());
    if (!build || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e) != 1 ||
        (d != nullptr && OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_D, d) != 1)) {
        return nullptr;
    }
    const OsslParamPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    const EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    const int selection = d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, selection, params.get()) != 1) {
        return nullptr;
    }
    return EvpPkeyPtr(key);
}

}  // namespace korva::messages
