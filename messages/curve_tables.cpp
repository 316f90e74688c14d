#include "messages/curve_tables.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <algorithm>

namespace korva::messages {

// The values of the published parameter sets (the CryptoPro sets of the
// 2001 standard's profile and the TC26 512-bit sets).
const std::array<CurveRow, 6> kCurves256 = {{
    {NID_id_GostR3410_2001_TestParamSet, "7", "5FBFF498AA938CE739B8E022FBAFEF40563F6E6A3472FC2A514C0CE9DAE23B7E",
     "8000000000000000000000000000000000000000000000000000000000000431",
     "8000000000000000000000000000000150FE8A1892976154C59CFC193ACCF5B3", "2",
     "08E2A8A0E65147D4BD6316030E16D19C85C97F0A9CA267122B96ABBCEA7E8FC8"},
    {NID_id_GostR3410_2001_CryptoPro_A_ParamSet, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD94",
     "A6", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893", "1",
     "8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14"},
    {NID_id_GostR3410_2001_CryptoPro_B_ParamSet, "8000000000000000000000000000000000000000000000000000000000000C96",
     "3E1AF419A269A5F866A7D3C25C3DF80AE979259373FF2B182F49D4CE7E1BBC8B",
     "8000000000000000000000000000000000000000000000000000000000000C99",
     "800000000000000000000000000000015F700CFFF1A624E5E497161BCC8A198F", "1",
     "3FA8124359F96680B83D1C3EB2C070E5C545C9858D03ECFB744BF8D717717EFC"},
    {NID_id_GostR3410_2001_CryptoPro_C_ParamSet, "9B9F605F5A858107AB1EC85E6B41C8AACF846E86789051D37998F7B9022D7598",
     "805A", "9B9F605F5A858107AB1EC85E6B41C8AACF846E86789051D37998F7B9022D759B",
     "9B9F605F5A858107AB1EC85E6B41C8AA582CA3511EDDFB74F02F3A6598980BB9", "0",
     "41ECE55743711A8C3CBF3783CD08C0EE4D4DC440D4641A8F366E550DFDB3BB67"},
    {NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet, "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD94",
     "A6", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF6C611070995AD10045841B09B761B893", "1",
     "8D91E471E0989CDA27DF505A453F2B7635294F2DDF23E3B122ACC99C9E9F1E14"},
    {NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet, "9B9F605F5A858107AB1EC85E6B41C8AACF846E86789051D37998F7B9022D7598",
     "805A", "9B9F605F5A858107AB1EC85E6B41C8AACF846E86789051D37998F7B9022D759B",
     "9B9F605F5A858107AB1EC85E6B41C8AA582CA3511EDDFB74F02F3A6598980BB9", "0",
     "41ECE55743711A8C3CBF3783CD08C0EE4D4DC440D4641A8F366E550DFDB3BB67"},
}};

const std::array<CurveRow, 2> kCurves512 = {{
    {NID_id_tc26_gost_3410_2012_512_paramSetA,
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFDC4",
     "E8C2505DEDFC86DDC1BD0B2B6667F1DA34B82574761CB0E879BD081CFD0B6265"
     "EE3CB090F30D27614CB4574010DA90DD862EF9D4EBEE4761503190785A71C760",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFDC7",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "27E69532F48D89116FF22B8D4E0560609B4B38ABFAD2B85DCACDB1411F10B275",
     "3",
     "7503CFE87A836AE3A61B8816E25450E6CE5E1C93ACF1ABC1778064FDCBEFA921"
     "DF1626BE4FD036E93D75E6A50E3A41E98028FE5FC235F5B889A589CB5215F2A4"},
    {NID_id_tc26_gost_3410_2012_512_paramSetB,
     "8000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000006C",
     "687D1B459DC841457E3E06CF6F5E2517B97C7D614AF138BCBF85DC806C4B289F"
     "3E965D2DB1416D217F8B276FAD1AB69C50F78BEE1FA3106EFB8CCBC7C5140116",
     "8000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000006F",
     "8000000000000000000000000000000000000000000000000000000000000001"
     "49A1EC142565A545ACFDB77BD9D40CFA8B996712101BEA0EC6346C54374F25BD",
     "2",
     "1A8F7EDA389B094C2C071E3647A8940F3C123B697578C213BE6DD9E6C8EC7335"
     "DCB228FD1EDF4A39152CBCAAF8C0398828041055F94CEEEC7E21340780FE41BD"},
}};

namespace {

// The card's parameter-set codes and the set each stands for; the second
// object is the one a key on a key-exchange set uses.
struct CodeCurve {
    uint8_t code;
    bool wide;
    int nid;
    int exchangeNid;
    const char* paramset;
    const char* exchangeParamset;
};

constexpr std::array<CodeCurve, 6> kCodeCurves = {{
    {1, false, NID_id_GostR3410_2001_CryptoPro_B_ParamSet, NID_id_GostR3410_2001_CryptoPro_B_ParamSet, "B", "B"},
    {2, false, NID_id_GostR3410_2001_CryptoPro_A_ParamSet, NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet, "A", "XA"},
    {3, false, NID_id_GostR3410_2001_CryptoPro_C_ParamSet, NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet, "C", "XB"},
    {4, false, NID_id_GostR3410_2001_TestParamSet, NID_id_GostR3410_2001_TestParamSet, "0", "0"},
    {9, true, NID_id_tc26_gost_3410_2012_512_paramSetA, NID_id_tc26_gost_3410_2012_512_paramSetA, "A", "A"},
    {10, true, NID_id_tc26_gost_3410_2012_512_paramSetB, NID_id_tc26_gost_3410_2012_512_paramSetB, "B", "B"},
}};

const CodeCurve* findCode(uint8_t code) noexcept {
    const auto found = std::ranges::find(kCodeCurves, code, &CodeCurve::code);
    return found == kCodeCurves.end() ? nullptr : &*found;
}

// 1.2.643.2.2.36.0 and 1.2.643.2.2.36.1.
constexpr std::array<uint8_t, 9> kXchA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00};
constexpr std::array<uint8_t, 9> kXchB = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x24, 0x01};

BignumPtr number(const char* hex) noexcept {
    BIGNUM* value = nullptr;
    if (BN_hex2bn(&value, hex) == 0) return nullptr;
    return BignumPtr(value);
}

}  // namespace

bool namesExchangeSet(std::span<const uint8_t> derOid) noexcept {
    return std::ranges::equal(derOid, kXchA) || std::ranges::equal(derOid, kXchB);
}

const CurveRow* curveForCode(uint8_t code, bool exchange, bool wide) noexcept {
    const CodeCurve* entry = findCode(code);
    if (entry == nullptr || entry->wide != wide) return nullptr;
    const int nid = exchange ? entry->exchangeNid : entry->nid;
    const std::span<const CurveRow> table = wide ? std::span<const CurveRow>(kCurves512) : kCurves256;
    const auto row = std::ranges::find(table, nid, &CurveRow::nid);
    return row == table.end() ? nullptr : &*row;
}

EcGroupPtr buildCurve(const CurveRow& row) noexcept {
    const BignumPtr a = number(row.a), b = number(row.b), p = number(row.p), q = number(row.q);
    const BignumPtr x = number(row.x), y = number(row.y);
    const BnCtxPtr scratch(BN_CTX_new());
    if (!a || !b || !p || !q || !x || !y || !scratch) return nullptr;
    EcGroupPtr group(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), scratch.get()));
    if (!group) return nullptr;
    const OpenSslPtr<EC_POINT, EC_POINT_free> generator(EC_POINT_new(group.get()));
    if (!generator ||
        EC_POINT_set_affine_coordinates(group.get(), generator.get(), x.get(), y.get(), scratch.get()) != 1 ||
        EC_GROUP_set_generator(group.get(), generator.get(), q.get(), BN_value_one()) != 1) {
        return nullptr;
    }
    EC_GROUP_set_curve_name(group.get(), row.nid);
    return group;
}

const char* engineParamset(uint8_t code, bool exchange) noexcept {
    const CodeCurve* entry = findCode(code);
    if (entry == nullptr) return "A";
    return exchange ? entry->exchangeParamset : entry->paramset;
}

}  // namespace korva::messages
