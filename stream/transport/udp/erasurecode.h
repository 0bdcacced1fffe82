#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zun {

// Reed-Solomon erasure code over GF(2^8) (ISA-L, Cauchy generator): k data rows and m parity
// rows of equal length; any k of the k + m rows give back the rest. k + m is at most 255.
class ErasureCode {
public:
    // parity[r] receives parity row r of the k rows in data.
    void encode(uint32_t k, uint32_t m, size_t length, const uint8_t *const *data, uint8_t *const *parity);
    // rows names the k rows held in sources (0..k-1 data, k.. parity, each once); the data
    // rows not among them are missing, in any order, and rebuilt into the matching outputs.
    // False when the rows cannot be used.
    bool rebuild(uint32_t k, uint32_t m, size_t length, std::span<const uint32_t> rows,
                 const uint8_t *const *sources, std::span<const uint32_t> missing, uint8_t *const *outputs);

private:
    struct Code {
        uint32_t k = 0;
        uint32_t m = 0;
        std::vector<uint8_t> generator; // (k + m) x k
        std::vector<uint8_t> parityTables;
    };
    const Code &codeFor(uint32_t k, uint32_t m);

    std::vector<Code> mCodes; // the few shapes in use, newest last
    std::vector<uint32_t> mParityHeld;
    std::vector<uint8_t> mSquare;
    std::vector<uint8_t> mInverse;
    std::vector<uint8_t> mDecodeRows;
    std::vector<uint8_t> mDecodeTables;
};

} // namespace zun
