#pragma once
// clang 14 with libstdc++ 12 has no std::source_location: libstdc++ only defines it when the
// compiler offers __builtin_source_location (clang 15 and later). The fuzz build force-includes
// this header, which fills the gap with the builtins clang 14 does have.
#include <version>

#if !defined(__cpp_lib_source_location) && defined(__clang__)
#include <cstdint>

namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             std::uint_least32_t line = __builtin_LINE(),
                                             std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location where;
        where.m_file = file;
        where.m_function = function;
        where.m_line = line;
        where.m_column = column;
        return where;
    }
    constexpr source_location() noexcept = default;
    constexpr std::uint_least32_t line() const noexcept { return m_line; }
    constexpr std::uint_least32_t column() const noexcept { return m_column; }
    constexpr const char* file_name() const noexcept { return m_file; }
    constexpr const char* function_name() const noexcept { return m_function; }

private:
    const char* m_file = "";
    const char* m_function = "";
    std::uint_least32_t m_line = 0;
    std::uint_least32_t m_column = 0;
};
}  // namespace std
#endif
