// The error type's texts and the settings reading rule.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "error/interrupt.hpp"
#include "error/settings.hpp"
#include "testing.hpp"

namespace {

using tarvinex::error::InternalFailure;
using tarvinex::error::LinalgError;
using tarvinex::error::ShapeError;
using tarvinex::error::ShapeErrorKind;
using tarvinex::error::TarvinexError;
namespace settings = tarvinex::settings;
using tarvinex::test::fake_env;

TEST(TarvinexError, DisplaysEachVariant) {
    struct Case {
        TarvinexError error;
        std::string text;
    };
    const Case cases[] = {
        {TarvinexError("k must be greater than zero"), "k must be greater than zero"},
        {TarvinexError(""), ""},
        {TarvinexError(ShapeError{ShapeErrorKind::IncompatibleShape}),
         "shape error: ShapeError/IncompatibleShape: incompatible shapes"},
        {TarvinexError(ShapeError{ShapeErrorKind::IncompatibleLayout}),
         "shape error: ShapeError/IncompatibleLayout: incompatible memory layout"},
        {TarvinexError(ShapeError{ShapeErrorKind::RangeLimited}),
         "shape error: ShapeError/RangeLimited: the shape does not fit in type limits"},
        {TarvinexError(ShapeError{ShapeErrorKind::OutOfBounds}),
         "shape error: ShapeError/OutOfBounds: out of bounds indexing"},
        {TarvinexError(ShapeError{ShapeErrorKind::Unsupported}),
         "shape error: ShapeError/Unsupported: unsupported operation"},
        {TarvinexError(ShapeError{ShapeErrorKind::Overflow}), "shape error: ShapeError/Overflow: arithmetic overflow"},
        {TarvinexError(LinalgError{3}),
         "linear algebra error: Computational failure in LAPACK subroutine: return_code = 3"},
        {TarvinexError(LinalgError{-4}), "linear algebra error: Invalid value for LAPACK subroutine 4-th argument"},
        {TarvinexError(TarvinexError::Interrupted{}), "call interrupted"},
        {tarvinex::interrupt::interrupted_error(), "call interrupted"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.to_string(), c.text);
        EXPECT_EQ(c.error.is_interrupted(), c.text == "call interrupted") << c.text;
    }
    EXPECT_FALSE(TarvinexError("call interrupted").is_interrupted()) << "the variant decides, not the text";
}

TEST(TarvinexError, AssertionThrowsInternalFailureWithItsText) {
    EXPECT_NO_THROW(TARVINEX_ASSERT(1 + 1 == 2, "unreachable"));
    try {
        TARVINEX_ASSERT(1 + 1 == 3, "broken invariant");
        FAIL() << "assertion did not throw";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "broken invariant");
    }
}

TEST(Settings, NormalisesWords) {
    const std::pair<std::string, std::string> cases[] = {
        {"ON", "on"},          {"O-n", "on"},         {"_o_N-", "on"},
        {" on", " on"},        {"on ", "on "},        {"", ""},
        {"AVX-512", "avx512"}, {"Avx_512", "avx512"}, {"\xc3\x84x", "\xc3\x84x"},
    };
    for (const auto& [value, word] : cases) {
        EXPECT_EQ(settings::normalize_word(value), word) << value;
    }
}

TEST(Settings, ParsesStrictUnsignedNumbers) {
    const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
        {"32", 32},
        {"+32", 32},
        {"0032", 32},
        {"0", 0},
        {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++3", std::nullopt},
        {" 32", std::nullopt},
        {"32 ", std::nullopt},
        {"-0", std::nullopt},
        {"-3", std::nullopt},
        {"0x20", std::nullopt},
        {"3.0", std::nullopt},
        {"1e3", std::nullopt},
    };
    for (const auto& [value, number] : cases) {
        EXPECT_EQ(settings::parse_unsigned(value), number) << '"' << value << '"';
    }
}

TEST(Settings, InvalidUtf8CountsAsUnsetExceptForPresence) {
    const auto env = fake_env({{"TARVINEX_PDX_EXACT", "\xff"},
                               {"TARVINEX_PROFILE_CLUSTER", "\xc0\xaf"},
                               {"TARVINEX_ROTATION_BATCH_MIB", "3\xed\xa0\x80"}});
    EXPECT_EQ(settings::normalize_env_word("TARVINEX_PDX_EXACT", env), std::nullopt);
    EXPECT_EQ(settings::env_usize("TARVINEX_ROTATION_BATCH_MIB", env), std::nullopt);
    EXPECT_TRUE(settings::env_present("TARVINEX_PROFILE_CLUSTER", env));
    EXPECT_FALSE(settings::env_present("TARVINEX_SIMD", env));
    EXPECT_TRUE(settings::is_valid_utf8("caf\xc3\xa9 \xf0\x9f\x98\x80"));
}

TEST(Settings, SwitchesFollowTheirWords) {
    const auto on = [](std::map<std::string, std::string> env) {
        return settings::on_switch(settings::normalize_env_word("TARVINEX_PDX_EXACT", fake_env(std::move(env))),
                                   {"1", "on", "true"});
    };
    EXPECT_TRUE(on({{"TARVINEX_PDX_EXACT", "ON"}}));
    EXPECT_TRUE(on({{"TARVINEX_PDX_EXACT", "o_-N"}}));
    EXPECT_FALSE(on({{"TARVINEX_PDX_EXACT", " on"}}));
    EXPECT_FALSE(on({{"TARVINEX_PDX_EXACT", ""}}));
    EXPECT_FALSE(on({}));

    const auto allowed = [](std::map<std::string, std::string> env) {
        return settings::off_switch_is_on(
            settings::normalize_env_word("TARVINEX_AVX512_AUTO", fake_env(std::move(env))),
            {"0", "no", "off", "false", "disable", "disabled"});
    };
    EXPECT_TRUE(allowed({}));
    EXPECT_TRUE(allowed({{"TARVINEX_AVX512_AUTO", ""}}));
    EXPECT_TRUE(allowed({{"TARVINEX_AVX512_AUTO", "maybe"}}));
    EXPECT_FALSE(allowed({{"TARVINEX_AVX512_AUTO", "DIS_abled"}}));
}

TEST(Settings, SecondNameIsReadOnlyWhenTheFirstIsUnset) {
    const auto word = [](std::map<std::string, std::string> env) {
        return settings::normalize_env_word_with_second_name("TARVINEX_PDX_PRUNE", "TARVINEX_DIM_PRUNE",
                                                             fake_env(std::move(env)));
    };
    EXPECT_EQ(word({{"TARVINEX_PDX_PRUNE", ""}, {"TARVINEX_DIM_PRUNE", "1"}}), "");
    EXPECT_EQ(word({{"TARVINEX_PDX_PRUNE", "bogus"}, {"TARVINEX_DIM_PRUNE", "1"}}), "bogus");
    EXPECT_EQ(word({{"TARVINEX_PDX_PRUNE", "\xff"}, {"TARVINEX_DIM_PRUNE", "P_DX"}}), "pdx");
    EXPECT_EQ(word({{"TARVINEX_DIM_PRUNE", "pdx"}}), "pdx");
    EXPECT_EQ(word({}), std::nullopt);
}

TEST(Settings, IndexNamesEverySettingOnce) {
    std::map<std::string_view, int> seen;
    for (const settings::SettingInfo& info : settings::kAllSettings) {
        EXPECT_TRUE(info.name.starts_with("TARVINEX_")) << info.name;
        EXPECT_EQ(++seen[info.name], 1) << info.name;
        if (info.kind == settings::SettingKind::SecondName) {
            EXPECT_TRUE(seen.contains(info.second_name_of)) << info.name;
        }
    }
}

/// The kind column of the README's settings table.
std::string kind_words(const settings::SettingInfo& info) {
    switch (info.kind) {
        case settings::SettingKind::Choice:
            return "choice";
        case settings::SettingKind::OnSwitch:
            return "on-switch";
        case settings::SettingKind::OffSwitch:
            return "off-switch";
        case settings::SettingKind::Number:
            return "number";
        case settings::SettingKind::NumberZeroIsUnset:
            return "number (0 = unset)";
        case settings::SettingKind::Presence:
            return "presence";
        case settings::SettingKind::SecondName:
            return "second name of `" + std::string(info.second_name_of) + "`";
    }
    return "";
}

std::string trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    const std::size_t last = text.find_last_not_of(' ');
    return first == std::string_view::npos ? "" : std::string(text.substr(first, last - first + 1));
}

TEST(Settings, ReadmeTableListsEverySettingAsTheIndexDoes) {
    // Users learn the settings from the README: its table must not drift from
    // the index the code reads by.
    std::ifstream readme(TARVINEX_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme) << "README.md not found";
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(readme, line);) {
        if (!line.starts_with("| `TARVINEX_")) {
            continue;
        }
        std::vector<std::string> cells;
        std::string_view rest(line);
        rest.remove_prefix(1);
        for (std::size_t bar = rest.find('|'); bar != std::string_view::npos; bar = rest.find('|')) {
            cells.push_back(trimmed(rest.substr(0, bar)));
            rest.remove_prefix(bar + 1);
        }
        rows.push_back(std::move(cells));
    }
    ASSERT_EQ(rows.size(), settings::kAllSettings.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const settings::SettingInfo& info = settings::kAllSettings[i];
        ASSERT_EQ(rows[i].size(), 4U) << info.name;
        EXPECT_EQ(rows[i][0], "`" + std::string(info.name) + "`");
        EXPECT_EQ(rows[i][1], kind_words(info)) << info.name;
        EXPECT_EQ(rows[i][2], info.default_value) << info.name;
        EXPECT_FALSE(rows[i][3].empty()) << info.name;
    }
}

}  // namespace
