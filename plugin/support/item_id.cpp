#include "item_id.h"

void write_item_id_hex(uint32_t value, char *out) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) out[i] = '0';
    out[8] = '\0';
    for (int pos = 7; value != 0 && pos >= 0; --pos) {
        out[pos] = kDigits[value & 0xFu];
        value >>= 4;
    }
}
