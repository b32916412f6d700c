#pragma once
/// Every TARVINEX_* environment setting is read through this file.
///
/// The rule: a variable that is unset or whose value is not valid UTF-8 counts
/// as unset. Words are normalised by lowering ASCII A-Z and deleting every "-"
/// and "_" (nothing is trimmed) and then compared whole. Numbers are unsigned
/// 64-bit decimals with an optional single leading "+"; anything else counts as
/// unset. A setting never fails an operation: an unusable value means the
/// default.
///
/// The lookup is injectable so tests can feed an environment without setenv in
/// a threaded process. Settings that are read once per process are cached by
/// their consumers in function-local statics (a once-only initialisation); the
/// index below says which.

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace tarvinex::settings {

/// The raw bytes of a variable, or nothing when it is unset.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

/// Looks the variable up in the process environment.
std::optional<std::string> process_env(const char* name);

/// The process environment as an EnvLookup (the default everywhere).
const EnvLookup& process_lookup();

[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

/// ASCII A-Z lowered, every "-" and "_" removed, nothing trimmed.
[[nodiscard]] std::string normalize_word(std::string_view value);

/// Optional single "+", then one or more digits, at most 2^64-1.
[[nodiscard]] std::optional<std::uint64_t> parse_unsigned(std::string_view value);

/// The value when it is set and valid UTF-8, otherwise nothing.
[[nodiscard]] std::optional<std::string> env_text(const char* name, const EnvLookup& lookup = process_lookup());

/// The normalised word, or nothing when unset or not valid UTF-8.
[[nodiscard]] std::optional<std::string> normalize_env_word(const char* name,
                                                            const EnvLookup& lookup = process_lookup());

/// The word of `first`, or, only when `first` is unset or not text, the word of
/// `second`. A first name that is set wins even when empty or unrecognised.
[[nodiscard]] std::optional<std::string> normalize_env_word_with_second_name(
    const char* first, const char* second, const EnvLookup& lookup = process_lookup());

/// The number value, or nothing when unset, not text or not a number.
[[nodiscard]] std::optional<std::uint64_t> env_usize(const char* name, const EnvLookup& lookup = process_lookup());

/// True when the variable exists, whatever its value.
[[nodiscard]] bool env_present(const char* name, const EnvLookup& lookup = process_lookup());

[[nodiscard]] bool word_is_one_of(const std::optional<std::string>& word,
                                  std::initializer_list<std::string_view> words);

/// An on-switch (default off) is on only for one of its on-words.
[[nodiscard]] inline bool on_switch(const std::optional<std::string>& word,
                                    std::initializer_list<std::string_view> on_words) {
    return word_is_one_of(word, on_words);
}
/// An off-switch (default on) is off only for one of its off-words.
[[nodiscard]] inline bool off_switch_is_on(const std::optional<std::string>& word,
                                           std::initializer_list<std::string_view> off_words) {
    return !word_is_one_of(word, off_words);
}

/// The names, spelled once.
namespace names {
inline constexpr const char* kSimd = "TARVINEX_SIMD";
inline constexpr const char* kAvx512Auto = "TARVINEX_AVX512_AUTO";
inline constexpr const char* kPdxExact = "TARVINEX_PDX_EXACT";
inline constexpr const char* kPdxPrune = "TARVINEX_PDX_PRUNE";
inline constexpr const char* kDimPrune = "TARVINEX_DIM_PRUNE";
inline constexpr const char* kFlashExact = "TARVINEX_FLASH_EXACT";
inline constexpr const char* kExactAssignment = "TARVINEX_EXACT_ASSIGNMENT";
inline constexpr const char* kRotationBatchMib = "TARVINEX_ROTATION_BATCH_MIB";
inline constexpr const char* kPq4Fastscan = "TARVINEX_PQ4_FASTSCAN";
inline constexpr const char* kPq4LutCalibration = "TARVINEX_PQ4_LUT_CALIBRATION";
inline constexpr const char* kPqEncode = "TARVINEX_PQ_ENCODE";
inline constexpr const char* kPqEncodeTransposed = "TARVINEX_PQ_ENCODE_TRANSPOSED";
inline constexpr const char* kProfileCluster = "TARVINEX_PROFILE_CLUSTER";
inline constexpr const char* kDenseAssign = "TARVINEX_DENSE_ASSIGN";
inline constexpr const char* kDenseBlasMinK = "TARVINEX_DENSE_BLAS_MIN_K";
inline constexpr const char* kDenseBlasMinKL2 = "TARVINEX_DENSE_BLAS_MIN_K_L2";
inline constexpr const char* kDenseBlasMinKCosine = "TARVINEX_DENSE_BLAS_MIN_K_COSINE";
inline constexpr const char* kDenseBlasMinOps = "TARVINEX_DENSE_BLAS_MIN_OPS";
inline constexpr const char* kDenseTransposed = "TARVINEX_DENSE_TRANSPOSED";
inline constexpr const char* kDenseHamerly = "TARVINEX_DENSE_HAMERLY";
inline constexpr const char* kDenseEarlyAbandon = "TARVINEX_DENSE_EARLY_ABANDON";
inline constexpr const char* kDenseAssignBound = "TARVINEX_DENSE_ASSIGN_BOUND";
inline constexpr const char* kDenseInitSampleRows = "TARVINEX_DENSE_INIT_SAMPLE_ROWS";
inline constexpr const char* kDenseInitMinSampleRows = "TARVINEX_DENSE_INIT_MIN_SAMPLE_ROWS";
inline constexpr const char* kDenseInitMaxSampleRows = "TARVINEX_DENSE_INIT_MAX_SAMPLE_ROWS";
inline constexpr const char* kDenseInitRowsPerCenter = "TARVINEX_DENSE_INIT_ROWS_PER_CENTER";
inline constexpr const char* kDenseUpdate = "TARVINEX_DENSE_UPDATE";
}  // namespace names

enum class SettingKind : std::uint8_t {
    Choice,
    OnSwitch,
    OffSwitch,
    Number,             ///< 0 is a usable value
    NumberZeroIsUnset,  ///< 0 counts as unset
    Presence,
    SecondName,  ///< read only when `second_name_of` is unset or not text
};

enum class ReadWhen : std::uint8_t {
    OncePerProcess,
    EachUse,
    EachFit,  ///< once at the start of each training, prediction or encoding call, by its driver
    EachInitialisation,
    EachPass,
};

struct SettingInfo {
    std::string_view name;
    SettingKind kind;
    std::string_view default_value;  ///< as a reader would describe it
    ReadWhen read;
    std::string_view second_name_of;  ///< for SecondName entries
};

/// Every setting of the system, in one place. TARVINEX_AVX512_AUTO is read at
/// each use, and once more by the kernel-family choice.
inline constexpr std::array<SettingInfo, 27> kAllSettings{{
    {names::kSimd, SettingKind::Choice, "auto", ReadWhen::OncePerProcess, ""},
    {names::kAvx512Auto, SettingKind::OffSwitch, "on", ReadWhen::EachUse, ""},
    {names::kPdxExact, SettingKind::OnSwitch, "off", ReadWhen::OncePerProcess, ""},
    {names::kPdxPrune, SettingKind::OnSwitch, "off", ReadWhen::OncePerProcess, ""},
    {names::kDimPrune, SettingKind::SecondName, "", ReadWhen::OncePerProcess, names::kPdxPrune},
    {names::kFlashExact, SettingKind::OnSwitch, "off", ReadWhen::OncePerProcess, ""},
    {names::kExactAssignment, SettingKind::SecondName, "", ReadWhen::OncePerProcess, names::kFlashExact},
    {names::kRotationBatchMib, SettingKind::NumberZeroIsUnset, "32", ReadWhen::OncePerProcess, ""},
    {names::kPq4Fastscan, SettingKind::OnSwitch, "off", ReadWhen::EachFit, ""},
    {names::kPq4LutCalibration, SettingKind::Choice, "global", ReadWhen::EachFit, ""},
    {names::kPqEncode, SettingKind::Choice, "adaptive", ReadWhen::EachFit, ""},
    {names::kPqEncodeTransposed, SettingKind::SecondName, "", ReadWhen::EachFit, names::kPqEncode},
    {names::kProfileCluster, SettingKind::Presence, "off", ReadWhen::EachFit, ""},
    {names::kDenseAssign, SettingKind::Choice, "size rule", ReadWhen::EachUse, ""},
    {names::kDenseBlasMinK, SettingKind::Number, "unset", ReadWhen::EachUse, ""},
    {names::kDenseBlasMinKL2, SettingKind::Number, "256", ReadWhen::EachUse, ""},
    {names::kDenseBlasMinKCosine, SettingKind::Number, "256", ReadWhen::EachUse, ""},
    {names::kDenseBlasMinOps, SettingKind::Number, "1000000000", ReadWhen::EachUse, ""},
    {names::kDenseTransposed, SettingKind::OffSwitch, "on", ReadWhen::EachUse, ""},
    {names::kDenseHamerly, SettingKind::Choice, "off", ReadWhen::EachFit, ""},
    {names::kDenseEarlyAbandon, SettingKind::Choice, "off", ReadWhen::EachFit, ""},
    {names::kDenseAssignBound, SettingKind::SecondName, "", ReadWhen::EachFit, names::kDenseEarlyAbandon},
    {names::kDenseInitSampleRows, SettingKind::NumberZeroIsUnset, "unset", ReadWhen::EachInitialisation, ""},
    {names::kDenseInitMinSampleRows, SettingKind::NumberZeroIsUnset, "16384", ReadWhen::EachInitialisation, ""},
    {names::kDenseInitMaxSampleRows, SettingKind::NumberZeroIsUnset, "65536", ReadWhen::EachInitialisation, ""},
    {names::kDenseInitRowsPerCenter, SettingKind::NumberZeroIsUnset, "256", ReadWhen::EachInitialisation, ""},
    {names::kDenseUpdate, SettingKind::Choice, "auto", ReadWhen::EachPass, ""},
}};

}  // namespace tarvinex::settings
