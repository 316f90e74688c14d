// The pure decoders on the module's hot paths: every SELECT answer goes
// through parseFcp, every object read through the attribute-record codec.
#include "card/select.h"
#include "card/tlv.h"
#include "objects/attribute_record.h"
#include "objects/attribute_set.h"

#include <korva/pkcs11_constants.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

namespace {

namespace abi = korva::abi;
using Bytes = std::vector<uint8_t>;

// FCPs as the card answers SELECT: the application subdirectory A1 BC 7F 01
// reporting the free memory in A5/82, the directory file 50 00 of 255-byte
// records, the token information file 50 32, and the GOST key object F0 30.
const Bytes kFcps[] = {
    {0x62, 0x20, 0x80, 0x02, 0x00, 0x00, 0x82, 0x01, 0x38, 0x83, 0x02, 0x7F, 0x01, 0x8A, 0x01, 0x05, 0x86,
     0x05, 0xFF, 0xFF, 0x05, 0xFF, 0x10, 0xA5, 0x09, 0x8A, 0x01, 0x01, 0x82, 0x04, 0x00, 0x00, 0xF1, 0xC6},
    {0x62, 0x1C, 0x80, 0x02, 0x02, 0xFD, 0x81, 0x02, 0x03, 0x1D, 0x82, 0x03, 0x02, 0xC1, 0xFF,
     0x83, 0x02, 0x50, 0x00, 0x8A, 0x01, 0x05, 0x86, 0x06, 0xFF, 0xFF, 0x12, 0x00, 0x12, 0x12},
    {0x62, 0x1F, 0x80, 0x02, 0x00, 0x80, 0x81, 0x02, 0x00, 0xA0, 0x82, 0x01, 0x01, 0x83, 0x02, 0x50, 0x32,
     0x8A, 0x01, 0x05, 0x86, 0x06, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xA5, 0x03, 0x90, 0x01, 0x01},
    {0x62, 0x28, 0x80, 0x02, 0x00, 0x00, 0x81, 0x02, 0x01, 0x60, 0x82, 0x01, 0x11, 0x83,
     0x02, 0xF0, 0x30, 0x8A, 0x01, 0x05, 0x86, 0x06, 0xFF, 0xFF, 0x12, 0xFF, 0x12, 0xFF,
     0xA5, 0x0C, 0x85, 0x01, 0x21, 0x87, 0x01, 0x30, 0x8E, 0x01, 0x00, 0x89, 0x01, 0x00},
};
const char* const kFcpNames[] = {"directory", "record_file", "transparent", "key_file"};

uint32_t noTransport(korva::HostContext, const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint8_t*, uint8_t*, uint32_t,
                     uint32_t) {
    return 1;
}

void BM_parseFcp(benchmark::State& state) {
    const Bytes& fcp = kFcps[state.range(0)];
    korva::CardContext context(korva::HostContext{0, 0, &noTransport, nullptr});
    std::copy(fcp.begin(), fcp.end(), context.response.begin());
    context.responseLength = static_cast<uint32_t>(fcp.size());
    for (auto _ : state) {
        if (korva::card::parseFcp(context) != korva::result::kOk) state.SkipWithError("FCP refused");
        benchmark::DoNotOptimize(context.fci);
    }
    state.SetLabel(kFcpNames[state.range(0)]);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fcp.size()));
}
BENCHMARK(BM_parseFcp)->DenseRange(0, 3);

// The last tag of the key file's A5 template: the longest walk findTag makes
// over a typical FCP.
void BM_findTag(benchmark::State& state) {
    std::span<const uint8_t> a5;
    std::span<const uint8_t> fcp;
    korva::card::findTag(kFcps[3], 0x62, fcp);
    korva::card::findTag(fcp, 0xA5, a5);
    for (auto _ : state) {
        std::span<const uint8_t> value;
        if (korva::card::findTag(a5, 0x89, value) != korva::card::TagSearch::kFound) state.SkipWithError("no 89");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_findTag);

void BM_decodeLength(benchmark::State& state) {
    Bytes tlv = {0x53, 0x82, 0x01, 0x00};  // the longest form: 82 xx xx
    tlv.resize(tlv.size() + 0x100);
    for (auto _ : state) {
        std::span<const uint8_t> value;
        std::size_t fieldSize = 0;
        benchmark::DoNotOptimize(korva::card::decodeLength(tlv, value, &fieldSize));
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_decodeLength);

// A private-key template whose stored entries fill a 255-byte record
// exactly; its label is the last entry, so lookups walk the whole record.
class FullRecord {
public:
    FullRecord() {
        for (uint32_t type : {abi::CKA_TOKEN, abi::CKA_PRIVATE, abi::CKA_SENSITIVE, abi::CKA_DECRYPT, abi::CKA_SIGN,
                              abi::CKA_UNWRAP, abi::CKA_EXTRACTABLE, abi::CKA_LOCAL, abi::CKA_NEVER_EXTRACTABLE,
                              abi::CKA_ALWAYS_SENSITIVE, abi::CKA_MODIFIABLE, abi::CKA_DERIVE, abi::CKA_SIGN_RECOVER})
            add(type, Bytes{1});
        uint32_t keyType = abi::CKK_GOSTR3410;
        add(abi::CKA_KEY_TYPE, Bytes(4));
        std::memcpy(storage_.back().data(), &keyType, 4);
        add(abi::CKA_START_DATE, Bytes{'2', '0', '2', '6', '0', '1', '0', '1'});
        add(abi::CKA_END_DATE, Bytes{'2', '0', '3', '1', '0', '1', '0', '1'});
        add(abi::CKA_ID, Bytes(20, 0x1D));
        add(abi::CKA_GOSTR3410_PARAMS, Bytes{0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01});
        add(abi::CKA_GOSTR3411_PARAMS, Bytes{0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02});
        add(abi::CKA_VENDOR_KEY_REFERENCE, Bytes{0x31});
        add(abi::CKA_LABEL, Bytes(77, 'L'));
        std::size_t size = 0;
        if (korva::objects::encodeDirectoryRecord(tmpl_, record_, size) != korva::objects::EncodeResult::Ok ||
            size != record_.size())
            throw std::logic_error("the benchmark record does not fill 255 bytes");
    }

    std::span<const abi::CK_ATTRIBUTE> attributes() const { return tmpl_; }
    const korva::objects::DirectoryRecord& record() const { return record_; }

private:
    void add(uint32_t type, Bytes value) {
        storage_.push_back(std::move(value));  // a deque keeps earlier values in place
        tmpl_.push_back({type, storage_.back().data(), uint32_t(storage_.back().size())});
    }

    std::deque<Bytes> storage_;
    std::vector<abi::CK_ATTRIBUTE> tmpl_;
    korva::objects::DirectoryRecord record_{};
};

const FullRecord& fullRecord() {
    static const FullRecord record;
    return record;
}

void BM_encodeRecord(benchmark::State& state) {
    const FullRecord& full = fullRecord();
    korva::objects::DirectoryRecord out{};
    for (auto _ : state) {
        std::size_t size = 0;
        benchmark::DoNotOptimize(korva::objects::encodeRecord(full.attributes(), out, size));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}
BENCHMARK(BM_encodeRecord);

void BM_findInRecord(benchmark::State& state) {
    const FullRecord& full = fullRecord();
    for (auto _ : state) {
        const auto lookup = korva::objects::findInRecord(full.record(), abi::CKA_LABEL);
        if (lookup.result != korva::objects::LookupResult::Found) state.SkipWithError("label not found");
        benchmark::DoNotOptimize(lookup);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(full.record().size()));
}
BENCHMARK(BM_findInRecord);

void BM_decodeRecord(benchmark::State& state) {
    const FullRecord& full = fullRecord();
    for (auto _ : state) {
        korva::objects::AttributeSet set;
        if (korva::objects::decodeRecord(full.record(), set) != korva::objects::DecodeResult::Ok)
            state.SkipWithError("record refused");
        benchmark::DoNotOptimize(set);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(full.record().size()));
}
BENCHMARK(BM_decodeRecord);

// A caller's template asking for every attribute the record holds.
void BM_fillTemplate(benchmark::State& state) {
    const FullRecord& full = fullRecord();
    std::vector<abi::CK_ATTRIBUTE> tmpl(full.attributes().begin(), full.attributes().end());
    Bytes buffers(tmpl.size() * 80);
    for (auto _ : state) {
        for (std::size_t i = 0; i < tmpl.size(); ++i) tmpl[i] = {tmpl[i].type, &buffers[i * 80], 80};
        const auto result = korva::objects::fillTemplate(tmpl, abi::CKO_PRIVATE_KEY, full.record(), {});
        if (result != korva::objects::FillResult::Ok) state.SkipWithError("template not filled");
        benchmark::DoNotOptimize(buffers.data());
    }
    state.counters["attributes"] = double(tmpl.size());
}
BENCHMARK(BM_fillTemplate);

}  // namespace
