#include "view/utf8.h"

namespace view {

size_t utf8_sequence(const std::string& text, size_t i, unsigned long* code) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t need;
    unsigned long low;
    if (c < 0x80) {
        *code = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
        low = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        low = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        low = 0x10000;
    } else {
        return 0;
    }
    if (i + need > text.size()) return 0;
    unsigned long value = c & (0x7F >> need);
    for (size_t k = 1; k < need; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = value << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if (value < low || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *code = value;
    return need;
}

}  // namespace view
