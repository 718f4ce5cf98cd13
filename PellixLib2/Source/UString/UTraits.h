#pragma once

// Character traits for strings of integer code units (UTF-16 and UTF-32 text), which the standard
// library does not provide for unsigned short and unsigned int.

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <ios>
#include <string>
#include <type_traits>

template <typename T>
struct UTraits
{
    static_assert(std::is_integral_v<T> && std::is_unsigned_v<T>);

    using char_type = T;
    // Wide enough that eof() differs from every unit.
    using int_type = std::conditional_t<(sizeof(T) < sizeof(int)), int, long long>;
    using off_type = std::streamoff;
    using pos_type = std::streampos;
    using state_type = std::mbstate_t;

    static constexpr void assign(char_type& to, const char_type& from) noexcept { to = from; }
    static constexpr bool eq(char_type a, char_type b) noexcept { return a == b; }
    static constexpr bool lt(char_type a, char_type b) noexcept { return a < b; }

    static constexpr int compare(const char_type* a, const char_type* b, std::size_t n) noexcept
    {
        for (std::size_t i = 0; i < n; ++i) {
            if (a[i] != b[i]) {
                return a[i] < b[i] ? -1 : 1;
            }
        }
        return 0;
    }

    static constexpr std::size_t length(const char_type* s) noexcept
    {
        std::size_t n = 0;
        while (s[n] != 0) {
            ++n;
        }
        return n;
    }

    static constexpr const char_type* find(const char_type* s, std::size_t n, const char_type& c) noexcept
    {
        for (std::size_t i = 0; i < n; ++i) {
            if (s[i] == c) {
                return s + i;
            }
        }
        return nullptr;
    }

    static char_type* move(char_type* to, const char_type* from, std::size_t n) noexcept
    {
        if (n != 0) {
            std::memmove(to, from, n * sizeof(char_type));
        }
        return to;
    }

    static char_type* copy(char_type* to, const char_type* from, std::size_t n) noexcept
    {
        if (n != 0) {
            std::memcpy(to, from, n * sizeof(char_type));
        }
        return to;
    }

    static constexpr char_type* assign(char_type* s, std::size_t n, char_type c) noexcept
    {
        for (std::size_t i = 0; i < n; ++i) {
            s[i] = c;
        }
        return s;
    }

    static constexpr char_type to_char_type(int_type i) noexcept { return static_cast<char_type>(i); }
    static constexpr int_type to_int_type(char_type c) noexcept { return static_cast<int_type>(c); }
    static constexpr bool eq_int_type(int_type a, int_type b) noexcept { return a == b; }
    static constexpr int_type eof() noexcept { return -1; }
    static constexpr int_type not_eof(int_type i) noexcept { return i == eof() ? 0 : i; }
};

// UTF-16 code units, as UString holds them.
using UTF16String = std::basic_string<unsigned short, UTraits<unsigned short>>;
// UTF-32 code points, one element each.
using UTF32String = std::basic_string<unsigned int, UTraits<unsigned int>>;
