/// ChaCha8 block function, PCG32 key expansion and the buffered word draws of
/// SeededRng. One refill computes four consecutive blocks (64 words).

#include "rng/seeded_rng.hpp"

#include <bit>

namespace tarvinex::rng {
namespace {

/// "expand 32-byte k"
constexpr std::array<std::uint32_t, 4> kChaChaConstants = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
constexpr int kChaChaDoubleRounds = 4;

void quarter_round(ChaChaBlock& s, std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
    s[a] += s[b];
    s[d] ^= s[a];
    s[d] = std::rotl(s[d], 16);
    s[c] += s[d];
    s[b] ^= s[c];
    s[b] = std::rotl(s[b], 12);
    s[a] += s[b];
    s[d] ^= s[a];
    s[d] = std::rotl(s[d], 8);
    s[c] += s[d];
    s[b] ^= s[c];
    s[b] = std::rotl(s[b], 7);
}

}  // namespace

ChaChaBlock chacha8_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream) {
    ChaChaBlock input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = kChaChaConstants[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    ChaChaBlock state = input;
    for (int round = 0; round < kChaChaDoubleRounds; ++round) {
        quarter_round(state, 0, 4, 8, 12);
        quarter_round(state, 1, 5, 9, 13);
        quarter_round(state, 2, 6, 10, 14);
        quarter_round(state, 3, 7, 11, 15);
        quarter_round(state, 0, 5, 10, 15);
        quarter_round(state, 1, 6, 11, 12);
        quarter_round(state, 2, 7, 8, 13);
        quarter_round(state, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < state.size(); ++i) state[i] += input[i];
    return state;
}

ChaChaKey pcg32_key_from_seed(std::uint64_t seed) {
    constexpr std::uint64_t kMultiplier = 6364136223846793005ull;
    constexpr std::uint64_t kIncrement = 11634580027462260723ull;
    ChaChaKey key{};
    std::uint64_t state = seed;
    for (std::uint32_t& word : key) {
        state = state * kMultiplier + kIncrement;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rotation = static_cast<int>(state >> 59);
        // std::rotr is defined for a rotation of 0, unlike a hand-written
        // pair of shifts by r and 32 - r.
        word = std::rotr(xorshifted, rotation);
    }
    return key;
}

SeededRng SeededRng::seed_from_u64(std::uint64_t seed) { return SeededRng(pcg32_key_from_seed(seed)); }

void SeededRng::refill() {
    for (std::size_t block = 0; block < kBlocksPerRefill; ++block) {
        const ChaChaBlock words = chacha8_block(key_, counter_ + block, stream_);
        for (std::size_t i = 0; i < words.size(); ++i) buffer_[block * 16 + i] = words[i];
    }
    counter_ += kBlocksPerRefill;
}

std::uint32_t SeededRng::next_u32() {
    if (index_ == kBufferWords) {
        refill();
        index_ = 0;
    }
    return buffer_[index_++];
}

std::uint64_t SeededRng::next_u64() {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    if (index_ + 1 < kBufferWords) {
        low = buffer_[index_];
        high = buffer_[index_ + 1];
        index_ += 2;
    } else if (index_ + 1 == kBufferWords) {
        low = buffer_[index_];
        refill();
        high = buffer_[0];
        index_ = 1;
    } else {
        refill();
        low = buffer_[0];
        high = buffer_[1];
        index_ = 2;
    }
    return (high << 32) | low;
}

}  // namespace tarvinex::rng
