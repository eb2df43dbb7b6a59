#include "core/Clock.h"
#include "serial/ParmrkDecoder.h"
#include "serial/SerialPort.h"
#include "serial/SerialSettings.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Settings, BaudTableAndOutOfRangeIndices) {
    const int rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (int i = 0; i < BAUD_INDEX_COUNT; ++i) {
        EXPECT_EQ(BaudRateOf(i), rates[i]);
        EXPECT_EQ(BytesPerSecondOf(i), rates[i] / 10);
    }
    EXPECT_EQ(BaudRateOf(10), 115200);
    EXPECT_EQ(BaudRateOf(12), 115200);
    EXPECT_EQ(BaudRateOf(-1), 115200);
    EXPECT_EQ(SpeedOfRate(300), static_cast<speed_t>(B300));
    EXPECT_EQ(SpeedOfRate(57600), static_cast<speed_t>(B57600));
    EXPECT_EQ(SpeedOfRate(12345), static_cast<speed_t>(B115200));
}

TEST(Settings, ParityAndStopBitSelectors) {
    const auto parities = {PARITY_EVEN, PARITY_MARK, PARITY_NONE, PARITY_ODD};
    const auto stops = {STOP_ONE, STOP_ONE_HALF, STOP_TWO, STOP_ONE};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ParityOfSelector(static_cast<uint8_t>(i)), parities.begin()[i]) << i;
        EXPECT_EQ(StopBitsOfSelector(static_cast<uint8_t>(i)), stops.begin()[i]) << i;
    }
    EXPECT_EQ(ParityOfSelector(200), PARITY_NONE);

    CChannel channel;
    CSerialPort port(channel);
    port.SetParity(3);
    port.SetStopBits(1);
    EXPECT_EQ(port.Parity(), PARITY_ODD);
    EXPECT_EQ(port.StopBits(), STOP_ONE_HALF);
}

TEST(Settings, LineSettingsAreRawWithMarkedParity) {
    termios tio{};
    MakeLineSettings(tio, 9600, PARITY_NONE, STOP_ONE);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(tio.c_cflag & CREAD);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | INPCK | PARMRK | ICRNL));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);

    MakeLineSettings(tio, 115200, PARITY_MARK, STOP_ONE_HALF);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(tio.c_iflag & (INPCK | PARMRK), static_cast<tcflag_t>(INPCK | PARMRK));
    MakeLineSettings(tio, 115200, PARITY_EVEN, STOP_TWO);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB));
    MakeLineSettings(tio, 115200, PARITY_ODD, STOP_ONE);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
}

TEST(Settings, CharTimeAndBaudSetting) {
    CChannel channel;
    CSerialPort port(channel);
    port.SetBaudSetting(0);
    EXPECT_EQ(port.CharTimeMs(0), 1);
    EXPECT_EQ(port.CharTimeMs(1), 33);
    port.SetBaudSetting(9);
    EXPECT_EQ(port.CharTimeMs(3), 1);
    EXPECT_EQ(port.CharTimeMs(10), 1);
    EXPECT_EQ(port.CharTimeMs(1000), 87);
    port.SetBaudSetting(5);
    EXPECT_EQ(port.CharTimeMs(10), 10);
    EXPECT_EQ(port.GetBaudIndex(), 5);
    EXPECT_EQ(port.BaudRate(), 9600);
    port.SetBaudSetting(12);
    EXPECT_EQ(port.GetBaudIndex(), 12);
    EXPECT_EQ(port.BaudRate(), 115200);
    // No table entry above 9: the time follows the rate actually set.
    EXPECT_EQ(port.CharTimeMs(1000), 87);
    port.SetBaudSetting(-3);
    EXPECT_EQ(port.BaudRate(), 115200);
    EXPECT_EQ(port.CharTimeMs(1000), 87);
}

TEST(Settings, ClosedPortDefaults) {
    CChannel channel;
    CSerialPort port(channel);
    uint8_t b = 0x5A;
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_FALSE(port.ReadByte(b));
    EXPECT_EQ(b, 0x5A);
    EXPECT_FALSE(port.SendByte(1));
    EXPECT_FALSE(port.SendString("abc"));
    EXPECT_FALSE(port.SendString(nullptr));
    EXPECT_FALSE(port.Send(nullptr, 5));
    EXPECT_EQ(port.GetPortId(), 2);
    port.SetPortIndex(7);
    EXPECT_EQ(port.GetPortId(), 9);
    std::string text;
    EXPECT_FALSE(port.TakeError(text));
    EXPECT_FALSE(port.WaitRx(0));
    port.Purge();
    port.CheckPresence();
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(port.m_TimeFactor, 1);

    CCommPort base;
    // The default wait sleeps what it is asked (a missing port must not make waits spin).
    const uint32_t start = TickMs();
    EXPECT_FALSE(base.WaitRx(80));
    EXPECT_GE(ElapsedMs(start), 75u);
    EXPECT_EQ(base.IsOpen(), 0);
    EXPECT_EQ(base.IsTxDone(), 1);
    EXPECT_EQ(base.CharTimeMs(3), 3000);
    EXPECT_EQ(base.GetPortId(), 0);
    EXPECT_EQ(base.m_SavedBaud.load(), 0);
}

namespace {
std::vector<uint8_t> Decode(CParmrkDecoder& decoder, const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(in.size() + 1);
    out.resize(decoder.Feed(in.data(), in.size(), out.data()));
    return out;
}
} // namespace

TEST(ParmrkDecoder, MarksBecomeErrorCharAndDoubledFfBecomesOne) {
    CParmrkDecoder decoder;
    EXPECT_EQ(Decode(decoder, {0x41, 0xFF, 0xFF, 0x00, 0x42}),
              (std::vector<uint8_t>{0x41, 0xFF, 0x00, 0x42}));
    EXPECT_EQ(Decode(decoder, {0xFF, 0x00, 0x37, 0x43}), (std::vector<uint8_t>{'e', 0x43}));
    // Break is marked as a NUL with an error.
    EXPECT_EQ(Decode(decoder, {0xFF, 0x00, 0x00}), (std::vector<uint8_t>{'e'}));
    // Not a mark at all: both bytes pass.
    EXPECT_EQ(Decode(decoder, {0xFF, 0x41}), (std::vector<uint8_t>{0xFF, 0x41}));
}

TEST(ParmrkDecoder, SequencesSplitAtEveryPoint) {
    const std::vector<uint8_t> raw = {0x10, 0xFF, 0xFF, 0xFF, 0x00, 0x99, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x20};
    const std::vector<uint8_t> expected = {0x10, 0xFF, 'e', 0xFF, 'e', 0x20};
    for (size_t cut1 = 0; cut1 <= raw.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= raw.size(); ++cut2) {
            CParmrkDecoder decoder;
            std::vector<uint8_t> out = Decode(decoder, {raw.begin(), raw.begin() + cut1});
            auto part = Decode(decoder, {raw.begin() + cut1, raw.begin() + cut2});
            out.insert(out.end(), part.begin(), part.end());
            part = Decode(decoder, {raw.begin() + cut2, raw.end()});
            out.insert(out.end(), part.begin(), part.end());
            EXPECT_EQ(out, expected) << cut1 << " " << cut2;
        }
    }
    // A held-back 0xFF and a following non-mark byte give two bytes from a one-byte input.
    CParmrkDecoder decoder;
    EXPECT_TRUE(Decode(decoder, {0xFF}).empty());
    EXPECT_EQ(Decode(decoder, {0x41}), (std::vector<uint8_t>{0xFF, 0x41}));
}
