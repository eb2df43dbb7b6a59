#pragma once
// Line settings shared by every layer: the baud index table and the parity and stop-bit selectors.

#include <cstdint>

// The termios pieces are defined where termios exists (SerialSettingsPosix.cpp).
struct termios;

constexpr int BAUD_INDEX_COUNT = 10;

// 300 .. 115200 bit/s for indices 0..9; any other index selects 115200.
int BaudRateOf(int index);
// Bytes per second of the index; indices outside 0..9 count as 115200 bit/s.
int BytesPerSecondOf(int index);
// The termios speed constant of a rate from the table; anything else gives B115200.
unsigned SpeedOfRate(int rate);

// Parity values of the line: 0 none, 1 odd, 2 even, 3 mark.
constexpr uint8_t PARITY_NONE = 0;
constexpr uint8_t PARITY_ODD = 1;
constexpr uint8_t PARITY_EVEN = 2;
constexpr uint8_t PARITY_MARK = 3;
// Selector 0 even, 1 mark, 3 odd, anything else none.
uint8_t ParityOfSelector(uint8_t selector);

// Stop-bit values: 0 one, 1 one and a half, 2 two.
constexpr uint8_t STOP_ONE = 0;
constexpr uint8_t STOP_ONE_HALF = 1;
constexpr uint8_t STOP_TWO = 2;
// Selector 0 one, 1 one and a half, 2 two, anything else one.
uint8_t StopBitsOfSelector(uint8_t selector);

// Fills a termios for a raw 8-bit line without flow control. Parity switches on parity checking with marked
// errors (INPCK | PARMRK), which the receive side decodes; one and a half stop bits become two.
void MakeLineSettings(termios& tio, int rate, uint8_t parity, uint8_t stopBits);
