#include "ParmrkDecoder.h"

namespace {
enum : uint8_t { PLAIN, AFTER_FF, AFTER_FF_NUL };
}

size_t CParmrkDecoder::Feed(const uint8_t* in, size_t n, uint8_t* out) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = in[i];
        switch (m_State) {
        case PLAIN:
            if (c == 0xFF)
                m_State = AFTER_FF;
            else
                out[count++] = c;
            break;
        case AFTER_FF:
            if (c == 0xFF) {
                out[count++] = 0xFF;
                m_State = PLAIN;
            } else if (c == 0x00) {
                m_State = AFTER_FF_NUL;
            } else {
                // Not a valid mark: keep both bytes as they came.
                out[count++] = 0xFF;
                out[count++] = c;
                m_State = PLAIN;
            }
            break;
        default:
            out[count++] = ERROR_CHAR;
            m_State = PLAIN;
            break;
        }
    }
    return count;
}
