#pragma once
/// The one random generator of the system: ChaCha with 8 rounds, keyed from a
/// 64-bit seed by PCG32. Nothing from the operating system reaches it, so a
/// seed fixes every draw bit for bit. A generator is owned by one thread.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvinex::rng {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

/// One ChaCha8 block: 64-bit block counter in words 12 (low) and 13 (high),
/// 64-bit stream identifier in words 14 and 15.
[[nodiscard]] ChaChaBlock chacha8_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream);

/// The eight key words the PCG32 generator produces from `seed`.
[[nodiscard]] ChaChaKey pcg32_key_from_seed(std::uint64_t seed);

class SeededRng {
public:
    /// A generator whose key is the PCG32 expansion of `seed`; nothing is
    /// generated until the first draw.
    [[nodiscard]] static SeededRng seed_from_u64(std::uint64_t seed);

    [[nodiscard]] std::uint32_t next_u32();
    /// Low half first; a draw with one buffered word left takes it as the low
    /// half and the first word of the next refill as the high half.
    [[nodiscard]] std::uint64_t next_u64();

    [[nodiscard]] const ChaChaKey& key() const noexcept { return key_; }

private:
    static constexpr std::size_t kBlocksPerRefill = 4;
    static constexpr std::size_t kBufferWords = kBlocksPerRefill * 16;

    explicit SeededRng(const ChaChaKey& key) : key_(key) {}
    /// Fills the buffer with the blocks at counter c .. c+3 and advances the
    /// counter by 4.
    void refill();

    ChaChaKey key_;
    std::uint64_t counter_ = 0;
    std::uint64_t stream_ = 0;
    std::array<std::uint32_t, kBufferWords> buffer_{};
    /// Next unread buffer word; kBufferWords means the buffer is spent.
    std::size_t index_ = kBufferWords;
};

}  // namespace tarvinex::rng
