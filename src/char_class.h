// Character classes of code points for the identifier search: a fixed table
// of the POSIX classes below U+0080, whatever locale is selected; from U+0080
// up, the C library's classification under the calling thread's current
// locale (never any digit there). The library itself never selects a locale,
// so under the C locale, in which a process starts, no code point from U+0080
// up is a letter.
#pragma once

#include <array>
#include <cstdint>

inline constexpr uint8_t CHAR_LETTER = 1;
inline constexpr uint8_t CHAR_DIGIT = 2;
inline constexpr uint8_t CHAR_UPPERCASE = 4;

inline constexpr std::array<uint8_t, 128> ascii_char_classes = [] {
    std::array<uint8_t, 128> classes{};
    for (char c = 'a'; c <= 'z'; ++c) classes[c] = CHAR_LETTER;
    for (char c = 'A'; c <= 'Z'; ++c) classes[c] = CHAR_LETTER | CHAR_UPPERCASE;
    for (char c = '0'; c <= '9'; ++c) classes[c] = CHAR_DIGIT;
    return classes;
}();

// For code points from U+0080 up: iswalpha / iswupper under the current locale.
bool locale_is_letter(uint32_t code_point);
bool locale_is_uppercase(uint32_t code_point);

constexpr bool is_letter(uint32_t code_point) {
    return code_point < 0x80 ? (ascii_char_classes[code_point] & CHAR_LETTER) != 0
                             : locale_is_letter(code_point);
}

constexpr bool is_uppercase(uint32_t code_point) {
    return code_point < 0x80 ? (ascii_char_classes[code_point] & CHAR_UPPERCASE) != 0
                             : locale_is_uppercase(code_point);
}

constexpr bool is_digit(uint32_t code_point) {
    return code_point < 0x80 && (ascii_char_classes[code_point] & CHAR_DIGIT) != 0;
}
