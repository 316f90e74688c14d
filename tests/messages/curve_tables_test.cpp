// The curve constants against the curves the GOST engine itself uses for
// the same parameter sets, and the card codes that lead to them.
#include "messages/curve_tables.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <gtest/gtest.h>

#include <string>

namespace korva::messages {
namespace {

// A key the engine generates with `paramset` lives on the engine's curve.
EcGroupPtr engineCurve(int keyType, const char* paramset) {
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_id(keyType, nullptr));
    EVP_PKEY* key = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_ctrl_str(context.get(), "paramset", paramset) != 1 || EVP_PKEY_keygen(context.get(), &key) != 1) {
        return nullptr;
    }
    const EvpPkeyPtr owned(key);
    // The engine's keys are legacy keys holding an EC_KEY; this is the one
    // way to reach their group.
    const auto* ecKey = static_cast<const EC_KEY*>(EVP_PKEY_get0(owned.get()));
    return ecKey ? EcGroupPtr(EC_GROUP_dup(EC_KEY_get0_group(ecKey))) : nullptr;
}

struct EngineSet {
    const CurveRow* row;
    int keyType;
    const char* paramset;
};

TEST(CurveTables, EveryRowIsTheCurveTheEngineUsesForItsSet) {
    const EngineSet sets[] = {
        {&kCurves256[0], NID_id_GostR3410_2001, "0"},     {&kCurves256[1], NID_id_GostR3410_2001, "A"},
        {&kCurves256[2], NID_id_GostR3410_2001, "B"},     {&kCurves256[3], NID_id_GostR3410_2001, "C"},
        {&kCurves256[4], NID_id_GostR3410_2001, "XA"},    {&kCurves256[5], NID_id_GostR3410_2001, "XB"},
        {&kCurves512[0], NID_id_GostR3410_2012_512, "A"}, {&kCurves512[1], NID_id_GostR3410_2012_512, "B"},
    };
    const BnCtxPtr scratch(BN_CTX_new());
    for (const EngineSet& set : sets) {
        SCOPED_TRACE(OBJ_nid2sn(set.row->nid));
        const EcGroupPtr ours = buildCurve(*set.row);
        const EcGroupPtr engines = engineCurve(set.keyType, set.paramset);
        ASSERT_TRUE(ours);
        ASSERT_TRUE(engines);
        EXPECT_EQ(EC_GROUP_get_curve_name(engines.get()), set.row->nid);
        // Field, coefficients, generator, order and cofactor.
        EXPECT_EQ(EC_GROUP_cmp(ours.get(), engines.get(), scratch.get()), 0);
        EXPECT_EQ(EC_GROUP_check(ours.get(), scratch.get()), 1);
    }
}

TEST(CurveTables, CardCodesChooseTheCurveAndTheEngineParamset) {
    struct Case {
        uint8_t code;
        bool exchange;
        bool wide;
        int nid;  // NID_undef: no curve
        std::string paramset;
    };
    const Case cases[] = {
        {1, false, false, NID_id_GostR3410_2001_CryptoPro_B_ParamSet, "B"},
        {2, false, false, NID_id_GostR3410_2001_CryptoPro_A_ParamSet, "A"},
        {2, true, false, NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet, "XA"},
        {3, false, false, NID_id_GostR3410_2001_CryptoPro_C_ParamSet, "C"},
        {3, true, false, NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet, "XB"},
        {4, false, false, NID_id_GostR3410_2001_TestParamSet, "0"},
        {9, false, true, NID_id_tc26_gost_3410_2012_512_paramSetA, "A"},
        {10, false, true, NID_id_tc26_gost_3410_2012_512_paramSetB, "B"},
        // 512-bit sets with 256-bit keys and the other way round.
        {9, false, false, NID_undef, "A"},
        {2, false, true, NID_undef, "A"},
        // Codes the card has with no curve here (TC26 256-bit A, 512-bit C).
        {5, false, false, NID_undef, "A"},
        {11, false, true, NID_undef, "A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << int(c.code) << " exchange " << c.exchange << " wide " << c.wide);
        const CurveRow* row = curveForCode(c.code, c.exchange, c.wide);
        EXPECT_EQ(row ? row->nid : NID_undef, c.nid);
        EXPECT_EQ(engineParamset(c.code, c.exchange), c.paramset);
    }
}

TEST(CurveTables, OnlyTheKeyExchangeIdentifiersSetTheExchangeFlag) {
    const std::vector<uint8_t> xchA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00};
    const std::vector<uint8_t> xchB{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01};
    const std::vector<uint8_t> cryptoProA{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};
    std::vector<uint8_t> longer = xchA;
    longer.push_back(0x00);
    EXPECT_TRUE(namesExchangeSet(xchA));
    EXPECT_TRUE(namesExchangeSet(xchB));
    EXPECT_FALSE(namesExchangeSet(cryptoProA));
    EXPECT_FALSE(namesExchangeSet(longer));
}

}  // namespace
}  // namespace korva::messages
