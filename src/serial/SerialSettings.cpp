#include "SerialSettings.h"

namespace {
constexpr int RATES[BAUD_INDEX_COUNT] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
}

int BaudRateOf(int index) {
    if (index < 0 || index >= BAUD_INDEX_COUNT)
        return 115200;
    return RATES[index];
}

int BytesPerSecondOf(int index) {
    return BaudRateOf(index) / 10;
}

uint8_t ParityOfSelector(uint8_t selector) {
    switch (selector) {
    case 0:
        return PARITY_EVEN;
    case 1:
        return PARITY_MARK;
    case 3:
        return PARITY_ODD;
    default:
        return PARITY_NONE;
    }
}

uint8_t StopBitsOfSelector(uint8_t selector) {
    switch (selector) {
    case 1:
        return STOP_ONE_HALF;
    case 2:
        return STOP_TWO;
    default:
        return STOP_ONE;
    }
}
