#pragma once

// The library's text type: UTF-16 code units with the interface of a standard string. 8-bit text
// enters and leaves it only in a named ByteEncoding.

#include "UTraits.h"

#include <cstddef>
#include <memory>
#include <sstream>
#include <string>

class UString
{
public:
    using Units = UTF16String;
    using value_type = Units::value_type;
    using size_type = Units::size_type;
    using iterator = Units::iterator;
    using const_iterator = Units::const_iterator;
    using reverse_iterator = Units::reverse_iterator;
    using const_reverse_iterator = Units::const_reverse_iterator;

    static constexpr size_type npos = Units::npos;

    // How 8-bit text handed to or asked of a string is encoded. On input every value other than
    // kUTF8 and kMacRoman is read as k8Bit.
    enum ByteEncoding : int
    {
        kUTF8 = 0,
        // Input: each byte becomes the unit of the same value. Output: units from 128 up become
        // the replacement char.
        k8Bit = 1,
        kMacRoman = 2
    };

    // Option bits of less() and equal().
    using CompareFlags = unsigned int;
    static constexpr CompareFlags kIgnoreCase = 0x01;
    static constexpr CompareFlags kIgnoreDiacritics = 0x02;
    static constexpr CompareFlags kIgnoreWidth = 0x08;
    static constexpr CompareFlags kCompareNumerically = 0x20;

    static const UString kEmptyString;

    // Owns a string stream whose text is appended to the target, in k8Bit, when the proxy ends.
    // A proxy that was moved from appends nothing.
    class FormattedStreamProxy
    {
    public:
        explicit FormattedStreamProxy(UString& target);
        FormattedStreamProxy(FormattedStreamProxy&& other) noexcept;
        FormattedStreamProxy& operator=(FormattedStreamProxy&&) = delete;
        ~FormattedStreamProxy();

        std::ostream& stream() { return *fStream; }

    private:
        std::unique_ptr<std::ostringstream> fStream;
        UString* fTarget;
    };

    UString() = default;
    UString(const UString& other, size_type pos, size_type n = npos);
    UString(const Units& units) : fUnits(units) {}
    UString(const value_type* units) : fUnits(units) {}
    UString(const value_type* units, size_type n) : fUnits(units, n) {}
    UString(const UTF32String& text) { assign(text); }
    UString(const std::wstring& text) { assign(text); }
    UString(const wchar_t* text) { assign(text); }
    UString(const std::string& text, ByteEncoding encoding) { assign(text, encoding); }
    UString(const char* text, ByteEncoding encoding) { assign(text, encoding); }
    UString(const char* text, size_type n, ByteEncoding encoding) { assign(text, n, encoding); }
    UString(const unsigned char* text, size_type n, ByteEncoding encoding) { assign(text, n, encoding); }
    explicit UString(value_type unit) : fUnits(1, unit) {}
    explicit UString(char c) : fUnits(1, unitOf(c)) {}

    UString& assign(const UString& other);
    UString& assign(const UString& other, size_type pos, size_type n = npos);
    UString& assign(const Units& units);
    UString& assign(const value_type* units);
    UString& assign(const value_type* units, size_type n);
    UString& assign(const UTF32String& text);
    UString& assign(const std::wstring& text);
    UString& assign(const wchar_t* text);
    UString& assign(const std::string& text, ByteEncoding encoding);
    UString& assign(const char* text, ByteEncoding encoding);
    UString& assign(const char* text, size_type n, ByteEncoding encoding);
    UString& assign(const unsigned char* text, size_type n, ByteEncoding encoding);
    UString& assign(value_type unit);
    UString& assign(char c);

    UString& append(const UString& other);
    UString& append(const Units& units);
    UString& append(const value_type* units);
    UString& append(const value_type* units, size_type n);
    UString& append(const UTF32String& text);
    UString& append(const std::wstring& text);
    UString& append(const wchar_t* text);
    UString& append(const std::string& text, ByteEncoding encoding);
    UString& append(const char* text, ByteEncoding encoding);
    UString& append(const char* text, size_type n, ByteEncoding encoding);
    UString& append(const unsigned char* text, size_type n, ByteEncoding encoding);
    UString& append(value_type unit);
    // One code point, as UTF-16.
    UString& append(unsigned int codePoint);
    UString& append(char c);

    UString& insert(size_type pos, const UString& other);
    UString& insert(size_type pos, const UString& other, size_type subpos, size_type n);
    UString& insert(size_type pos, const value_type* units, size_type n);
    UString& insert(size_type pos, const value_type* units);
    UString& insert(size_type pos, size_type count, value_type unit);
    UString& insert(size_type pos, size_type count, char c);
    iterator insert(const_iterator at, value_type unit);
    iterator insert(const_iterator at, char c);
    iterator insert(const_iterator at, size_type count, value_type unit);
    iterator insert(const_iterator at, size_type count, char c);

    UString& replace(size_type pos, size_type n, const UString& other);
    UString& erase(size_type pos = 0, size_type n = npos);
    iterator erase(const_iterator at);
    iterator erase(const_iterator first, const_iterator last);
    void pop_back();
    void clear() noexcept { fUnits.clear(); }
    void resize(size_type n) { fUnits.resize(n); }
    void resize(size_type n, value_type unit) { fUnits.resize(n, unit); }
    void resize(size_type n, char c) { fUnits.resize(n, unitOf(c)); }
    void swap(UString& other) noexcept { fUnits.swap(other.fUnits); }

    size_type length() const noexcept { return fUnits.length(); }
    size_type size() const noexcept { return fUnits.size(); }
    bool empty() const noexcept { return fUnits.empty(); }
    const value_type* data() const noexcept { return fUnits.data(); }
    // In bytes.
    size_type data_size() const noexcept { return fUnits.size() * sizeof(value_type); }
    iterator begin() noexcept { return fUnits.begin(); }
    iterator end() noexcept { return fUnits.end(); }
    const_iterator begin() const noexcept { return fUnits.begin(); }
    const_iterator end() const noexcept { return fUnits.end(); }
    reverse_iterator rbegin() noexcept { return fUnits.rbegin(); }
    reverse_iterator rend() noexcept { return fUnits.rend(); }
    const_reverse_iterator rbegin() const noexcept { return fUnits.rbegin(); }
    const_reverse_iterator rend() const noexcept { return fUnits.rend(); }
    value_type& operator[](size_type i) { return fUnits[i]; }
    const value_type& operator[](size_type i) const { return fUnits[i]; }
    value_type& at(size_type i) { return fUnits.at(i); }
    const value_type& at(size_type i) const { return fUnits.at(i); }
    UString substr(size_type pos = 0, size_type n = npos) const { return UString(*this, pos, n); }

    // The searches of the standard string over 16-bit units. A std::string needle is widened byte
    // by byte (byte b is unit b); a char is one unit by the char rule.
    size_type find(const UString& s, size_type pos = 0) const { return fUnits.find(s.fUnits, pos); }
    size_type find(const std::string& s, size_type pos = 0) const { return fUnits.find(widen(s), pos); }
    size_type find(value_type u, size_type pos = 0) const { return fUnits.find(u, pos); }
    size_type find(char c, size_type pos = 0) const { return fUnits.find(unitOf(c), pos); }
    size_type rfind(const UString& s, size_type pos = npos) const { return fUnits.rfind(s.fUnits, pos); }
    size_type rfind(const std::string& s, size_type pos = npos) const { return fUnits.rfind(widen(s), pos); }
    size_type rfind(value_type u, size_type pos = npos) const { return fUnits.rfind(u, pos); }
    size_type rfind(char c, size_type pos = npos) const { return fUnits.rfind(unitOf(c), pos); }
    size_type find_first_of(const UString& s, size_type pos = 0) const
    {
        return fUnits.find_first_of(s.fUnits, pos);
    }
    size_type find_first_of(const std::string& s, size_type pos = 0) const
    {
        return fUnits.find_first_of(widen(s), pos);
    }
    size_type find_first_of(value_type u, size_type pos = 0) const { return fUnits.find_first_of(u, pos); }
    size_type find_first_of(char c, size_type pos = 0) const { return fUnits.find_first_of(unitOf(c), pos); }
    size_type find_last_of(const UString& s, size_type pos = npos) const
    {
        return fUnits.find_last_of(s.fUnits, pos);
    }
    size_type find_last_of(const std::string& s, size_type pos = npos) const
    {
        return fUnits.find_last_of(widen(s), pos);
    }
    size_type find_last_of(value_type u, size_type pos = npos) const { return fUnits.find_last_of(u, pos); }
    size_type find_last_of(char c, size_type pos = npos) const { return fUnits.find_last_of(unitOf(c), pos); }
    size_type find_first_not_of(const UString& s, size_type pos = 0) const
    {
        return fUnits.find_first_not_of(s.fUnits, pos);
    }
    size_type find_first_not_of(const std::string& s, size_type pos = 0) const
    {
        return fUnits.find_first_not_of(widen(s), pos);
    }
    size_type find_first_not_of(value_type u, size_type pos = 0) const
    {
        return fUnits.find_first_not_of(u, pos);
    }
    size_type find_first_not_of(char c, size_type pos = 0) const
    {
        return fUnits.find_first_not_of(unitOf(c), pos);
    }
    size_type find_last_not_of(const UString& s, size_type pos = npos) const
    {
        return fUnits.find_last_not_of(s.fUnits, pos);
    }
    size_type find_last_not_of(const std::string& s, size_type pos = npos) const
    {
        return fUnits.find_last_not_of(widen(s), pos);
    }
    size_type find_last_not_of(value_type u, size_type pos = npos) const
    {
        return fUnits.find_last_not_of(u, pos);
    }
    size_type find_last_not_of(char c, size_type pos = npos) const
    {
        return fUnits.find_last_not_of(unitOf(c), pos);
    }

    // The text as 8-bit bytes: kUTF8 stops at the first unpaired surrogate, kMacRoman is empty
    // when a character has no Mac OS Roman byte, any other value writes units from 128 up as
    // `replacement`. The bool has no effect.
    std::string string(ByteEncoding encoding, char replacement, bool) const;
    std::string utf8_str() const;
    Units utf16_str() const { return fUnits; }
    UTF32String utf32_str() const;
    std::wstring wstring() const;

    // Comparison under options, on the platform's string comparison (not localised).
    bool less(const UString& other, CompareFlags flags) const;
    bool equal(const UString& other, CompareFlags flags) const;

    friend bool operator==(const UString& a, const UString& b) noexcept { return a.fUnits == b.fUnits; }
    // By the first differing unit as an unsigned value; a prefix sorts first.
    friend bool operator<(const UString& a, const UString& b) noexcept { return a.fUnits < b.fUnits; }

private:
    // A char is a signed 8-bit number widened to 16 bits (0xE9 becomes 0xFFE9), also where plain
    // char is unsigned.
    static value_type unitOf(char c) { return static_cast<value_type>(static_cast<signed char>(c)); }
    static Units widen(const std::string& bytes);

    Units fUnits;
};
