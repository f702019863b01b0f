#include "char_class.h"

#include <cwctype>

// glibc's iswalpha and iswupper read the locale that the calling thread has
// selected with uselocale, else the process's setlocale one.
bool locale_is_letter(uint32_t code_point) {
    return std::iswalpha(static_cast<wint_t>(code_point)) != 0;
}

bool locale_is_uppercase(uint32_t code_point) {
    return std::iswupper(static_cast<wint_t>(code_point)) != 0;
}
