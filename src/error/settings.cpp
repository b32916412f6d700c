#include "error/settings.hpp"

#include <cstdlib>
#include <limits>

namespace tarvinex::settings {

std::optional<std::string> process_env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

const EnvLookup& process_lookup() {
    static const EnvLookup lookup = process_env;
    return lookup;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t continuation = 0;
        std::uint32_t code_point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            continuation = 1;
            code_point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuation = 2;
            code_point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuation = 3;
            code_point = lead & 0x07;
        } else {
            return false;
        }
        if (n - i - 1 < continuation) {
            return false;
        }
        for (std::size_t c = 1; c <= continuation; ++c) {
            const auto byte = static_cast<unsigned char>(bytes[i + c]);
            if ((byte & 0xC0) != 0x80) {
                return false;
            }
            code_point = (code_point << 6) | (byte & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not text.
        const bool overlong = (continuation == 2 && code_point < 0x800) || (continuation == 3 && code_point < 0x10000);
        const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
        if (overlong || surrogate || code_point > 0x10FFFF) {
            return false;
        }
        i += continuation + 1;
    }
    return true;
}

std::string normalize_word(std::string_view value) {
    std::string word;
    word.reserve(value.size());
    for (const char ch : value) {
        if (ch == '-' || ch == '_') {
            continue;
        }
        word.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch);
    }
    return word;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view value) {
    // Written by hand: strtoull accepts leading spaces and a minus sign.
    if (!value.empty() && value.front() == '+') {
        value.remove_prefix(1);
    }
    if (value.empty()) {
        return std::nullopt;
    }
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t result = 0;
    for (const char ch : value) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (result > (kMax - digit) / 10) {
            return std::nullopt;
        }
        result = result * 10 + digit;
    }
    return result;
}

std::optional<std::string> env_text(const char* name, const EnvLookup& lookup) {
    std::optional<std::string> value = lookup(name);
    if (!value || !is_valid_utf8(*value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> normalize_env_word(const char* name, const EnvLookup& lookup) {
    const std::optional<std::string> value = env_text(name, lookup);
    if (!value) {
        return std::nullopt;
    }
    return normalize_word(*value);
}

std::optional<std::string> normalize_env_word_with_second_name(const char* first, const char* second,
                                                               const EnvLookup& lookup) {
    if (std::optional<std::string> word = normalize_env_word(first, lookup)) {
        return word;
    }
    return normalize_env_word(second, lookup);
}

std::optional<std::uint64_t> env_usize(const char* name, const EnvLookup& lookup) {
    const std::optional<std::string> value = env_text(name, lookup);
    if (!value) {
        return std::nullopt;
    }
    return parse_unsigned(*value);
}

bool env_present(const char* name, const EnvLookup& lookup) { return lookup(name).has_value(); }

bool word_is_one_of(const std::optional<std::string>& word, std::initializer_list<std::string_view> words) {
    if (!word) {
        return false;
    }
    for (const std::string_view candidate : words) {
        if (*word == candidate) {
            return true;
        }
    }
    return false;
}

}  // namespace tarvinex::settings
