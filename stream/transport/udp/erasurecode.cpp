#include "transport/udp/erasurecode.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <cstring>

namespace zun {
namespace {

// A frame uses at most two block sizes; a few more cover a stream whose size changes.
constexpr size_t kCodesKept = 4;
constexpr size_t kTableBytesPerCoefficient = 32;

} // namespace

const ErasureCode::Code &ErasureCode::codeFor(uint32_t k, uint32_t m)
{
    auto it = std::find_if(mCodes.begin(), mCodes.end(),
                           [&](const Code &c) { return c.k == k && c.m == m; });
    if (it != mCodes.end())
        return *it;
    if (mCodes.size() >= kCodesKept)
        mCodes.erase(mCodes.begin());
    Code code{k, m, std::vector<uint8_t>(size_t(k + m) * k), std::vector<uint8_t>(kTableBytesPerCoefficient * k * m)};
    gf_gen_cauchy1_matrix(code.generator.data(), int(k + m), int(k));
    ec_init_tables(int(k), int(m), code.generator.data() + size_t(k) * k, code.parityTables.data());
    mCodes.push_back(std::move(code));
    return mCodes.back();
}

void ErasureCode::encode(uint32_t k, uint32_t m, size_t length, const uint8_t *const *data,
                         uint8_t *const *parity)
{
    const Code &code = codeFor(k, m);
    ec_encode_data(int(length), int(k), int(m), const_cast<uint8_t *>(code.parityTables.data()),
                   const_cast<uint8_t **>(data), const_cast<uint8_t **>(parity));
}

bool ErasureCode::rebuild(uint32_t k, uint32_t m, size_t length, std::span<const uint32_t> rows,
                          const uint8_t *const *sources, std::span<const uint32_t> missing,
                          uint8_t *const *outputs)
{
    if (rows.size() != k || missing.empty() || missing.size() > m)
        return false;
    const Code &code = codeFor(k, m);
    mSquare.resize(size_t(k) * k);
    for (size_t i = 0; i < k; ++i) {
        if (rows[i] >= k + m)
            return false;
        std::memcpy(mSquare.data() + i * k, code.generator.data() + size_t(rows[i]) * k, k);
    }
    mInverse.resize(mSquare.size());
    if (gf_invert_matrix(mSquare.data(), mInverse.data(), int(k)) != 0)
        return false;
    // Data row j is row j of the inverse applied to the rows held.
    mDecodeRows.resize(missing.size() * k);
    for (size_t i = 0; i < missing.size(); ++i) {
        if (missing[i] >= k)
            return false;
        std::memcpy(mDecodeRows.data() + i * k, mInverse.data() + size_t(missing[i]) * k, k);
    }
    mDecodeTables.resize(kTableBytesPerCoefficient * k * missing.size());
    ec_init_tables(int(k), int(missing.size()), mDecodeRows.data(), mDecodeTables.data());
    ec_encode_data(int(length), int(k), int(missing.size()), mDecodeTables.data(),
                   const_cast<uint8_t **>(sources), const_cast<uint8_t **>(outputs));
    return true;
}

} // namespace zun
