#pragma once

#include <cstdint>

// DES (FIPS 46-3) as VNC Authentication uses it: the one difference from the standard is the key
// bit order. Key bit n (0..63) is bit (n mod 8) of key byte n / 8 counting from the least
// significant bit, which equals reversing the bits of every key byte and then applying standard
// DES. Blocks are read and written most significant bit first, as in the standard.
//
// The schedule is passed explicitly rather than kept in a module-wide table, so several clients
// can never see each other's keys. Callers wipe it when they are done.
namespace d3des {

enum class Direction { Encrypt, Decrypt };

// Sixteen 48-bit round keys, each held as two 32-bit words of four 6-bit groups (S-boxes 1-4 and
// 5-8), already in the order the chosen direction applies them.
struct Schedule
{
    std::uint32_t words[32];
};

void setKey(const std::uint8_t key[8], Direction direction, Schedule &schedule);

// One block with the given schedule: in and out are 8 bytes, read and written as two big-endian
// 32-bit halves. in and out may be the same buffer.
void block(const Schedule &schedule, const std::uint8_t in[8], std::uint8_t out[8]);

// Overwrites the round keys with zeros in a way the compiler may not drop.
void wipe(Schedule &schedule);

} // namespace d3des
