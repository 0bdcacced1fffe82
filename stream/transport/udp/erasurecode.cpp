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
    // Only the lost rows are unknown: with e of them and the e parity rows held, an e x e
    // system gives them, far cheaper than inverting the whole k x k matrix for a long block.
    const size_t e = missing.size();
    mParityHeld.clear();
    for (uint32_t row : rows) {
        if (row >= k + m || std::count(rows.begin(), rows.end(), row) != 1
            || std::find(missing.begin(), missing.end(), row) != missing.end())
            return false;
        if (row >= k)
            mParityHeld.push_back(row);
    }
    if (mParityHeld.size() != e)
        return false;
    auto coefficient = [&](uint32_t generatorRow, uint32_t column) {
        return code.generator[size_t(generatorRow) * k + column];
    };
    mSquare.resize(e * e);
    for (size_t t = 0; t < e; ++t) {
        if (missing[t] >= k)
            return false;
        for (size_t c = 0; c < e; ++c)
            mSquare[t * e + c] = coefficient(mParityHeld[t], missing[c]);
    }
    mInverse.resize(e * e);
    if (gf_invert_matrix(mSquare.data(), mInverse.data(), int(e)) != 0)
        return false;
    // Lost row r = sum over parity held t of inverse[r][t] * (parity t + its share of the data
    // held), in the order of the sources.
    mDecodeRows.resize(e * k);
    for (size_t r = 0; r < e; ++r) {
        for (size_t s = 0; s < k; ++s) {
            uint8_t value = 0;
            for (size_t t = 0; t < e; ++t) {
                const uint8_t weight = rows[s] >= k ? uint8_t(rows[s] == mParityHeld[t])
                                                    : coefficient(mParityHeld[t], rows[s]);
                value ^= gf_mul(mInverse[r * e + t], weight);
            }
            mDecodeRows[r * k + s] = value;
        }
    }
    mDecodeTables.resize(kTableBytesPerCoefficient * k * e);
    ec_init_tables(int(k), int(e), mDecodeRows.data(), mDecodeTables.data());
    ec_encode_data(int(length), int(k), int(e), mDecodeTables.data(),
                   const_cast<uint8_t **>(sources), const_cast<uint8_t **>(outputs));
    return true;
}

} // namespace zun
