#include "sim/crypto/gost_key.h"

#include "common/gost_engine.h"
#include "common/openssl_ptr.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <algorithm>

namespace korva::sim::crypto {
namespace {

constexpr uint8_t kSerialTag = 'G';
constexpr uint8_t kSerialTag2012On2001Curve = 'H';

// e: the card-form hash as a big-endian number mod q; 1 when that is 0, so
// that a signature never depends on a zero multiplier.
BigNumber hashToScalar(std::span<const uint8_t> cardHash, const BIGNUM* order, BN_CTX* context) {
    BigNumber e = bigNumberFromBytes(cardHash);
    if (!e || BN_nnmod(e.get(), e.get(), order, context) != 1) return nullptr;
    if (BN_is_zero(e.get()) && BN_one(e.get()) != 1) return nullptr;
    return e;
}

// A public key of X then Y (big-endian) as a point of the group; null when
// the length is wrong or the point is not on the curve.
EcPoint pointFromPublicKey(const EC_GROUP* group, std::size_t size, std::span<const uint8_t> publicKey,
                           BN_CTX* context) {
    if (publicKey.size() != 2 * size) return nullptr;
    const BigNumber x = bigNumberFromBytes(publicKey.first(size));
    const BigNumber y = bigNumberFromBytes(publicKey.subspan(size));
    EcPoint point(EC_POINT_new(group));
    if (!x || !y || !point || EC_POINT_set_affine_coordinates(group, point.get(), x.get(), y.get(), context) != 1 ||
        EC_POINT_is_on_curve(group, point.get(), context) != 1 || EC_POINT_is_at_infinity(group, point.get()) == 1) {
        return nullptr;
    }
    return point;
}

// The verification equation of GOST R 34.10: with v = e^-1, z1 = s v and
// z2 = -r v (mod q), the x-coordinate of z1 G + z2 Q reduced mod q equals r.
bool verifyWithPoint(const GostCurveParameters& curve, const EC_GROUP* group, const EC_POINT* publicPoint,
                     std::span<const uint8_t> cardHash, std::span<const uint8_t> signature) {
    const std::size_t size = curve.size;
    if (cardHash.size() != size || signature.size() != 2 * size) return false;
    const BigNumberContext context(BN_CTX_new());
    const BIGNUM* order = EC_GROUP_get0_order(group);
    const BigNumber r = bigNumberFromBytes(signature.first(size));
    const BigNumber s = bigNumberFromBytes(signature.subspan(size));
    if (!context || !r || !s) return false;
    if (BN_is_zero(r.get()) || BN_is_zero(s.get()) || BN_cmp(r.get(), order) >= 0 || BN_cmp(s.get(), order) >= 0) {
        return false;
    }
    const BigNumber e = hashToScalar(cardHash, order, context.get());
    if (!e) return false;
    const BigNumber v(BN_mod_inverse(nullptr, e.get(), order, context.get()));
    const BigNumber z1 = newBigNumber(), z2 = newBigNumber(), x = newBigNumber();
    const EcPoint c(EC_POINT_new(group));
    if (!v || !z1 || !z2 || !x || !c || BN_mod_mul(z1.get(), s.get(), v.get(), order, context.get()) != 1 ||
        BN_mod_mul(z2.get(), r.get(), v.get(), order, context.get()) != 1 ||
        BN_mod_sub(z2.get(), order, z2.get(), order, context.get()) != 1 ||
        EC_POINT_mul(group, c.get(), z1.get(), publicPoint, z2.get(), context.get()) != 1 ||
        EC_POINT_is_at_infinity(group, c.get()) == 1 ||
        EC_POINT_get_affine_coordinates(group, c.get(), x.get(), nullptr, context.get()) != 1 ||
        BN_nnmod(x.get(), x.get(), order, context.get()) != 1) {
        return false;
    }
    return BN_cmp(x.get(), r.get()) == 0;
}

// A value the size of a coordinate, in little-endian order: the form in
// which VKO hashes the shared point.
bool appendLittleEndian(WipedBytes& out, const BIGNUM* number, std::size_t size) {
    const std::size_t start = out.size();
    out.resize(start + size);
    return BN_bn2lebinpad(number, out.data() + start, static_cast<int>(size)) == static_cast<int>(size);
}

// The engine's digest, asked of the engine itself: the card relies on no
// default of the process it runs in.
WipedBytes digest(int nid, std::span<const uint8_t> data) {
    const EVP_MD* md = gost::digest(nid);
    const EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (md == nullptr || !context || EVP_MD_get_size(md) <= 0) return {};
    WipedBytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned int written = 0;
    if (EVP_DigestInit_ex(context.get(), md, gost::engine()) != 1 ||
        EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), out.data(), &written) != 1 || written != out.size()) {
        return {};
    }
    return out;
}

}  // namespace

GostKeyPair::GostKeyPair(const GostCurveParameters& curve, EcGroup group, BigNumber privateKey,
                         EcPoint publicPoint) noexcept
    : curve_(&curve),
      group_(std::move(group)),
      privateKey_(std::move(privateKey)),
      publicPoint_(std::move(publicPoint)),
      gost2012_(!isGost2001Curve(curve.code)) {}

std::optional<GostKeyPair> GostKeyPair::fromPrivateKey(uint8_t curveCode, std::span<const uint8_t> privateKey) {
    const GostCurveParameters* curve = findGostCurve(curveCode);
    if (curve == nullptr || privateKey.size() != curve->size) return std::nullopt;
    EcGroup group = buildGostCurve(*curve);
    BigNumber d = bigNumberFromBytes(privateKey);
    const BigNumberContext context(BN_CTX_new());
    if (!group || !d || !context) return std::nullopt;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    if (BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group.get())) >= 0) {
        return std::nullopt;
    }
    EcPoint q(EC_POINT_new(group.get()));
    if (!q || EC_POINT_mul(group.get(), q.get(), d.get(), nullptr, nullptr, context.get()) != 1) {
        return std::nullopt;
    }
    return GostKeyPair(*curve, std::move(group), std::move(d), std::move(q));
}

std::optional<GostKeyPair> GostKeyPair::generate(uint8_t curveCode) {
    const GostCurveParameters* curve = findGostCurve(curveCode);
    if (curve == nullptr) return std::nullopt;
    const EcGroup group = buildGostCurve(*curve);
    const BigNumber d = newBigNumber();
    if (!group || !d) return std::nullopt;
    do {
        if (BN_priv_rand_range(d.get(), EC_GROUP_get0_order(group.get())) != 1) {
            return std::nullopt;
        }
    } while (BN_is_zero(d.get()));
    const WipedBytes bytes = bigNumberToBytes(d.get(), curve->size);
    if (bytes.empty()) return std::nullopt;
    return fromPrivateKey(curveCode, bytes);
}

std::optional<GostKeyPair> GostKeyPair::deserialize(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || (bytes[0] != kSerialTag && bytes[0] != kSerialTag2012On2001Curve)) return std::nullopt;
    auto pair = fromPrivateKey(bytes[1], bytes.subspan(2));
    if (pair && bytes[0] == kSerialTag2012On2001Curve) pair->markGost2012();
    return pair;
}

WipedBytes GostKeyPair::serialize() const {
    const WipedBytes key = bigNumberToBytes(privateKey_.get(), size());
    if (key.empty()) return {};
    WipedBytes out{gost2012_ && isGost2001Curve(curveCode()) ? kSerialTag2012On2001Curve : kSerialTag, curveCode()};
    out.insert(out.end(), key.begin(), key.end());
    return out;
}

std::vector<uint8_t> GostKeyPair::publicKey() const {
    const BigNumberContext context(BN_CTX_new());
    const BigNumber x = newBigNumber(), y = newBigNumber();
    if (!context || !x || !y ||
        EC_POINT_get_affine_coordinates(group_.get(), publicPoint_.get(), x.get(), y.get(), context.get()) != 1) {
        return {};
    }
    const WipedBytes xBytes = bigNumberToBytes(x.get(), size());
    const WipedBytes yBytes = bigNumberToBytes(y.get(), size());
    if (xBytes.empty() || yBytes.empty()) return {};
    std::vector<uint8_t> out(xBytes.begin(), xBytes.end());
    out.insert(out.end(), yBytes.begin(), yBytes.end());
    return out;
}

std::vector<uint8_t> GostKeyPair::signWithNonce(std::span<const uint8_t> cardHash,
                                                std::span<const uint8_t> nonce) const {
    if (cardHash.size() != size()) return {};
    const BIGNUM* order = EC_GROUP_get0_order(group_.get());
    const BigNumberContext context(BN_CTX_new());
    const BigNumber k = bigNumberFromBytes(nonce);
    if (!context || !k) return {};
    BN_set_flags(k.get(), BN_FLG_CONSTTIME);
    if (BN_is_zero(k.get()) || BN_cmp(k.get(), order) >= 0) return {};
    const BigNumber e = hashToScalar(cardHash, order, context.get());
    const BigNumber r = newBigNumber(), s = newBigNumber(), ke = newBigNumber();
    const EcPoint c(EC_POINT_new(group_.get()));
    // r = x(kG) mod q, s = (r d + k e) mod q; neither may be 0.
    if (!e || !r || !s || !ke || !c ||
        EC_POINT_mul(group_.get(), c.get(), k.get(), nullptr, nullptr, context.get()) != 1 ||
        EC_POINT_get_affine_coordinates(group_.get(), c.get(), r.get(), nullptr, context.get()) != 1 ||
        BN_nnmod(r.get(), r.get(), order, context.get()) != 1 || BN_is_zero(r.get()) ||
        BN_mod_mul(s.get(), r.get(), privateKey_.get(), order, context.get()) != 1 ||
        BN_mod_mul(ke.get(), k.get(), e.get(), order, context.get()) != 1 ||
        BN_mod_add(s.get(), s.get(), ke.get(), order, context.get()) != 1 || BN_is_zero(s.get())) {
        return {};
    }
    const WipedBytes rBytes = bigNumberToBytes(r.get(), size());
    const WipedBytes sBytes = bigNumberToBytes(s.get(), size());
    if (rBytes.empty() || sBytes.empty()) return {};
    std::vector<uint8_t> out(rBytes.begin(), rBytes.end());
    out.insert(out.end(), sBytes.begin(), sBytes.end());
    return out;
}

std::vector<uint8_t> GostKeyPair::sign(std::span<const uint8_t> cardHash) const {
    if (cardHash.size() != size()) return {};
    const BIGNUM* order = EC_GROUP_get0_order(group_.get());
    const BigNumber k = newBigNumber();
    if (!k) return {};
    // A nonce that gives r = 0 or s = 0 is drawn again; the chance of that is
    // about 2^-250, so the bound is never reached with a working generator.
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (BN_priv_rand_range(k.get(), order) != 1) return {};
        if (BN_is_zero(k.get())) continue;
        const WipedBytes nonce = bigNumberToBytes(k.get(), size());
        std::vector<uint8_t> signature = signWithNonce(cardHash, nonce);
        if (!signature.empty()) return signature;
    }
    return {};
}

bool GostKeyPair::verify(std::span<const uint8_t> cardHash, std::span<const uint8_t> signature) const {
    return verifyWithPoint(*curve_, group_.get(), publicPoint_.get(), cardHash, signature);
}

WipedBytes GostKeyPair::agreeKey(std::span<const uint8_t> peerPublicKey, std::span<const uint8_t> ukm,
                                 KeyAgreement kind) const {
    const BigNumberContext context(BN_CTX_new());
    if (!context) return {};
    const EcPoint peer = pointFromPublicKey(group_.get(), size(), peerPublicKey, context.get());
    const BigNumber scalar = bigNumberFromBytes(ukm);
    const BigNumber cofactor = newBigNumber();
    if (!peer || !scalar || !cofactor || BN_is_zero(scalar.get())) return {};
    BN_set_flags(scalar.get(), BN_FLG_CONSTTIME);

    // K = (h * UKM * d mod q) * Q_peer; the 2001 curves all have h = 1.
    const BIGNUM* order = EC_GROUP_get0_order(group_.get());
    const EcPoint shared(EC_POINT_new(group_.get()));
    const BigNumber x = newBigNumber(), y = newBigNumber();
    if (BN_set_word(cofactor.get(), kind == KeyAgreement::kVko2012 ? curve_->cofactor : 1) != 1 ||
        BN_mod_mul(scalar.get(), scalar.get(), privateKey_.get(), order, context.get()) != 1 ||
        BN_mod_mul(scalar.get(), scalar.get(), cofactor.get(), order, context.get()) != 1 || !shared || !x || !y ||
        EC_POINT_mul(group_.get(), shared.get(), nullptr, peer.get(), scalar.get(), context.get()) != 1 ||
        EC_POINT_is_at_infinity(group_.get(), shared.get()) == 1 ||
        EC_POINT_get_affine_coordinates(group_.get(), shared.get(), x.get(), y.get(), context.get()) != 1) {
        return {};
    }
    WipedBytes point;
    if (!appendLittleEndian(point, x.get(), size()) || !appendLittleEndian(point, y.get(), size())) {
        return {};
    }
    return digest(kind == KeyAgreement::kVko2001 ? NID_id_GostR3411_94 : NID_id_GostR3411_2012_256, point);
}

bool verifyGostSignature(uint8_t curveCode, std::span<const uint8_t> publicKey, std::span<const uint8_t> cardHash,
                         std::span<const uint8_t> signature) {
    const GostCurveParameters* curve = findGostCurve(curveCode);
    if (curve == nullptr) return false;
    const EcGroup group = buildGostCurve(*curve);
    const BigNumberContext context(BN_CTX_new());
    if (!group || !context) return false;
    const EcPoint point = pointFromPublicKey(group.get(), curve->size, publicKey, context.get());
    return point && verifyWithPoint(*curve, group.get(), point.get(), cardHash, signature);
}

}  // namespace korva::sim::crypto
