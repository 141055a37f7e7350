#include "d3des/d3des.h"

namespace d3des {
namespace {

// Tables of FIPS 46-3; bit positions are 1-based, counted from the most significant bit.
constexpr std::uint8_t initialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::uint8_t finalPermutation[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

constexpr std::uint8_t expansion[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr std::uint8_t roundPermutation[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                               26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                               3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

constexpr std::uint8_t permutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::uint8_t permutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
    26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
    51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::uint8_t leftShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr std::uint8_t sBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Output bit i (1-based from the top of an outBits-wide value) is input bit table[i - 1]
// (1-based from the top of an inBits-wide value).
std::uint64_t permute(std::uint64_t in, int inBits, const std::uint8_t *table, int outBits)
{
    std::uint64_t out = 0;
    for (int i = 0; i < outBits; ++i)
        out = (out << 1) | ((in >> (inBits - table[i])) & 1u);
    return out;
}

std::uint32_t rotateLeft28(std::uint32_t half, int n)
{
    return ((half << n) | (half >> (28 - n))) & 0x0FFFFFFFu;
}

std::uint32_t feistel(std::uint32_t right, std::uint32_t keyHigh, std::uint32_t keyLow)
{
    const std::uint64_t expanded = permute(right, 32, expansion, 48);
    const std::uint32_t high = static_cast<std::uint32_t>(expanded >> 24) ^ keyHigh;
    const std::uint32_t low = static_cast<std::uint32_t>(expanded & 0xFFFFFFu) ^ keyLow;
    std::uint32_t substituted = 0;
    for (int box = 0; box < 8; ++box) {
        const std::uint32_t word = box < 4 ? high : low;
        const std::uint32_t six = (word >> (18 - 6 * (box % 4))) & 0x3Fu;
        const int row = ((six >> 4) & 2u) | (six & 1u);
        const int column = (six >> 1) & 0xFu;
        substituted = (substituted << 4) | sBoxes[box][row * 16 + column];
    }
    return static_cast<std::uint32_t>(permute(substituted, 32, roundPermutation, 32));
}

std::uint32_t loadBigEndian(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8)
           | std::uint32_t(p[3]);
}

void storeBigEndian(std::uint32_t v, std::uint8_t *p)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

// Overwrites through a volatile pointer, so the stores survive optimisation although the object
// is never read again.
void wipeBytes(void *data, std::size_t size)
{
    volatile unsigned char *p = static_cast<unsigned char *>(data);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = 0;
}

// Zeros the stack below the caller's frame, where the key set-up ran: the compiler may keep
// copies of key bits there that no named local reaches (spilled temporaries, the parameters of
// helpers it did not inline).
[[gnu::noinline]] void wipeCalleeFrames()
{
    volatile unsigned char area[512];
    for (std::size_t i = 0; i < sizeof area; ++i)
        area[i] = 0;
}

[[gnu::noinline]] void buildSchedule(
    const std::uint8_t key[8], Direction direction, Schedule &schedule)
{
    // Standard bit n (MSB first) is VNC key bit n: the low bit of each byte comes first.
    std::uint64_t standardKey = 0;
    for (int n = 0; n < 64; ++n)
        standardKey = (standardKey << 1) | ((key[n / 8] >> (n % 8)) & 1u);

    std::uint64_t selected = permute(standardKey, 64, permutedChoice1, 56);
    std::uint32_t c = static_cast<std::uint32_t>(selected >> 28) & 0x0FFFFFFFu;
    std::uint32_t d = static_cast<std::uint32_t>(selected) & 0x0FFFFFFFu;
    std::uint64_t roundKey = 0;
    for (int round = 0; round < 16; ++round) {
        c = rotateLeft28(c, leftShifts[round]);
        d = rotateLeft28(d, leftShifts[round]);
        roundKey = permute((std::uint64_t(c) << 28) | d, 56, permutedChoice2, 48);
        const int slot = direction == Direction::Encrypt ? round : 15 - round;
        schedule.words[2 * slot] = static_cast<std::uint32_t>(roundKey >> 24);
        schedule.words[2 * slot + 1] = static_cast<std::uint32_t>(roundKey & 0xFFFFFFu);
    }
    // Plain stores to locals that are never read again would be dropped.
    wipeBytes(&standardKey, sizeof standardKey);
    wipeBytes(&selected, sizeof selected);
    wipeBytes(&c, sizeof c);
    wipeBytes(&d, sizeof d);
    wipeBytes(&roundKey, sizeof roundKey);
}

} // namespace

void setKey(const std::uint8_t key[8], Direction direction, Schedule &schedule)
{
    buildSchedule(key, direction, schedule);
    wipeCalleeFrames();
}

void block(const Schedule &schedule, const std::uint8_t in[8], std::uint8_t out[8])
{
    const std::uint64_t input = (std::uint64_t(loadBigEndian(in)) << 32) | loadBigEndian(in + 4);
    const std::uint64_t permuted = permute(input, 64, initialPermutation, 64);
    std::uint32_t left = static_cast<std::uint32_t>(permuted >> 32);
    std::uint32_t right = static_cast<std::uint32_t>(permuted);
    for (int round = 0; round < 16; ++round) {
        const std::uint32_t next
            = left ^ feistel(right, schedule.words[2 * round], schedule.words[2 * round + 1]);
        left = right;
        right = next;
    }
    // The halves are swapped once more before the final permutation.
    const std::uint64_t preOutput = (std::uint64_t(right) << 32) | left;
    const std::uint64_t output = permute(preOutput, 64, finalPermutation, 64);
    storeBigEndian(static_cast<std::uint32_t>(output >> 32), out);
    storeBigEndian(static_cast<std::uint32_t>(output), out + 4);
}

void wipe(Schedule &schedule)
{
    wipeBytes(schedule.words, sizeof schedule.words);
}

} // namespace d3des
