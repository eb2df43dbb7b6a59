// The chip catalogue and the flash identification exchange.

#include "LoaderFixture.h"
#include "loader/FlashCatalogue.h"
#include "loader/LoaderCodes.h"

#include <cstring>
#include <set>
#include <tuple>

TEST(FlashCatalogue, ListsHoldTheirRowsInOrder) {
    const size_t expected[FLASH_CHIP_LIST_COUNT] = {4, 180, 5, 74, 114, 13, 27, 55, 35, 62, 8};
    const uint8_t codes[FLASH_CHIP_LIST_COUNT] = {0x52, 0x01, 0x1F, 0x04, 0x89, 0x2C,
                                                  0xB0, 0x20, 0xC2, 0xBF, 0x98};
    size_t total = 0;
    for (size_t i = 0; i < FLASH_CHIP_LIST_COUNT; ++i) {
        EXPECT_EQ(ChipListRowCount(i), expected[i]) << "list " << i;
        EXPECT_EQ(FlashChipLists[i].rows[0].code, codes[i]) << "list " << i;
        // Every list is closed by an end row within its storage.
        ASSERT_GT(FlashChipLists[i].stored, ChipListRowCount(i));
        EXPECT_EQ(FlashChipLists[i].rows[ChipListRowCount(i)].deviceId, 0);
        for (size_t r = 0; r < ChipListRowCount(i); ++r) {
            EXPECT_EQ(FlashChipLists[i].rows[r].reserved, 0);
            EXPECT_NE(std::strlen(FlashChipLists[i].rows[r].name), 0u);
        }
        total += ChipListRowCount(i);
    }
    EXPECT_EQ(total, 577u);
    EXPECT_EQ(ChipListRowCount(FLASH_CHIP_LIST_COUNT), 0u);

    // The Atmel list stops at AT29C040; the rows stored after it are never searched.
    const FlashChipList& atmel = FlashChipLists[2];
    EXPECT_STREQ(atmel.rows[5].name, "AT29C040");
    EXPECT_EQ(atmel.stored, 5u + 1u + 59u);
    EXPECT_STREQ(atmel.rows[atmel.stored - 1].name, "AT91FR4081");

    // First and last rows of a few lists, as transcribed.
    EXPECT_STREQ(FlashChipLists[1].rows[0].name, "AM29BDS323D");
    EXPECT_STREQ(FlashChipLists[1].rows[179].name, "AM42DL3244GT");
    EXPECT_EQ(FlashChipLists[1].rows[179].deviceId, 0x225C);
    EXPECT_STREQ(FlashChipLists[4].rows[113].name, "MT28F800B5-T");
    EXPECT_STREQ(FlashChipLists[9].rows[61].name, "SST49LF080A");
    EXPECT_EQ(FlashChipLists[9].rows[61].deviceId, 0x005B);
    EXPECT_STREQ(FlashChipLists[10].rows[7].name, "TC58FVT800");
}

TEST(FlashCatalogue, RowsCarryTheirOwnCodes) {
    const FlashChipList& intel = FlashChipLists[4];
    std::set<std::string> foreign;
    for (size_t r = 0; r < ChipListRowCount(4); ++r)
        if (intel.rows[r].code != 0x89)
            foreign.insert(intel.rows[r].name);
    EXPECT_EQ(foreign, (std::set<std::string>{"28F160S3/S5", "28F320S3/S5", "M29F040"}));
    const FlashChipList& sharp = FlashChipLists[6];
    int marked = 0;
    for (size_t r = 0; r < ChipListRowCount(6); ++r)
        marked += sharp.rows[r].code == 0x89;
    EXPECT_EQ(marked, 5);
}

TEST(FlashCatalogue, VendorMap) {
    const std::pair<uint8_t, const char*> map[] = {
        {0x01, "Advanced Micro Devices"},
        {0x04, "Fujitsu"},
        {0x1F, "Atmel"},
        {0x20, "SGS/Thomson"},
        {0x2C, "Micron"},
        {0x52, "Alliance Semiconductor"},
        {0x89, "Intel"},
        {0x98, "Toshiba"},
        {0xB0, "Sharp"},
        {0xBF, "Silicon Storage Technology"},
        {0xC2, "Macronix"},
    };
    for (const auto& [code, name] : map)
        EXPECT_STREQ(FlashVendors[VendorIndex(code)], name) << int(code);
    int unknown = 0;
    for (int code = 0; code < 256; ++code)
        unknown += VendorIndex(static_cast<uint8_t>(code)) == 0;
    EXPECT_EQ(unknown, 256 - 11);
    EXPECT_STREQ(FlashVendors[0], "Unknown Vendor ID");
    EXPECT_STREQ(FlashVendors[10], "Motorola");
    EXPECT_STREQ(FlashVendors[12], "MotCMF");
    EXPECT_STREQ(ShortFlashTypes[8], "TC58FVB321FT");
    EXPECT_STREQ(ShortFlashTypes[17], "AT29LV32X");
}

TEST(FlashCatalogue, LookupTakesTheFirstMatchingRowOfTheFirstMatchingList) {
    char name[256];
    const std::tuple<uint8_t, uint16_t, const char*> found[] = {
        {0x01, 0x227E, "AM29LV128MH/L"}, {0x89, 0x00D4, "28F004B3-B"}, {0xB0, 0x00AA, "LH28F016SCT-L/SCH-L"},
        {0x04, 0x2223, "MBM29F400TC"},   {0x98, 0x004F, "TC58FVT800"}, {0x1F, 0x00DA, "AT29C020"}};
    for (const auto& [maker, device, chip] : found) {
        ASSERT_TRUE(FindChipName(maker, device, name, sizeof name)) << chip;
        EXPECT_STREQ(name, chip);
    }

    std::strcpy(name, "untouched");
    EXPECT_FALSE(FindChipName(0x1F, 0x00C0, name, sizeof name)); // only past the Atmel end row
    EXPECT_FALSE(FindChipName(0x1F, 0x0000, name, sizeof name));
    EXPECT_FALSE(FindChipName(0x37, 0x227E, name, sizeof name));
    EXPECT_FALSE(FindChipName(0x52, 0x9999, name, sizeof name));
    EXPECT_STREQ(name, "untouched");

    // A short buffer gets a cut, terminated name.
    char small[6];
    ASSERT_TRUE(FindChipName(0x01, 0x227E, small, sizeof small));
    EXPECT_STREQ(small, "AM29L");
}

class IdentifyTest : public LoaderFixture {
protected:
    // Answers the identification question with reply.
    void Reply(std::vector<uint8_t> reply) { Answer(FLASH_ID_CODE, std::move(reply)); }
    std::string Identify() {
        char desc[CLoaderProtocol::FLASH_DESC_SIZE];
        std::memset(desc, 'x', sizeof desc);
        EXPECT_TRUE(job.IdentifyFlash(desc, sizeof desc));
        EXPECT_NE(std::memchr(desc, '\0', sizeof desc), nullptr);
        return desc;
    }
};

TEST_F(IdentifyTest, FullReplyNamesVendorAndChip) {
    Reply({HELLO_CODE, 0x91, 0x01, 0x01, 0x22, 0x7E, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(Identify(), "AM29LV128MH/L");
    EXPECT_EQ(Logs(),
              (std::vector<std::string>{"VENDOR: Advanced Micro Devices", "CHIP: AM29LV128MH/L",
                                        "Common Flash Interface Available", "ManufacturersCode = 0x01",
                                        "DeviceID = 0x227E", "ChipSize = 16384Kb"}));
    EXPECT_EQ(port.Sent(), std::vector<uint8_t>{FLASH_ID_CODE});
}

TEST_F(IdentifyTest, UnnamedChipsGetTheGenericLine) {
    Reply({0x91, 0x01, 0x1F, 0x00, 0xC0, 0x00, 0x40, 0x00, 0x00});
    EXPECT_EQ(Identify(), "CFI,mfg 0x1F,id 0x00C0, sz 4096Kb");
    EXPECT_TRUE(HasLog("VENDOR: Atmel"));
    EXPECT_FALSE(HasLog("CHIP: AT49BV/F1604"));

    Reply({0x91, 0x00, 0x37, 0x12, 0x34, 0x00, 0x20, 0x00, 0x00});
    EXPECT_EQ(Identify(), ",mfg 0x37,id 0x1234, sz 2048Kb");
    EXPECT_TRUE(HasLog("VENDOR: Unknown Vendor ID"));
    EXPECT_TRUE(HasLog("Common Flash Interface is not Available"));

    Reply({0x91, 0x00, 0x89, 0x00, 0xD4, 0x00, 0x08, 0x00, 0x00});
    EXPECT_EQ(Identify(), "28F004B3-B");
    Reply({0x91, 0x00, 0xB0, 0x00, 0xAA, 0x00, 0x08, 0x00, 0x00});
    EXPECT_EQ(Identify(), "LH28F016SCT-L/SCH-L");
    EXPECT_TRUE(HasLog("VENDOR: Sharp"));
}

TEST_F(IdentifyTest, ShortRepliesNameAType) {
    Reply({0x91, 0x08});
    uint32_t start = TickMs();
    EXPECT_EQ(Identify(), "Flash: TC58FVB321FT");
    EXPECT_GE(ElapsedMs(start), 100u);
    Reply({0x91, 0x00});
    EXPECT_EQ(Identify(), "Flash: UNKNOWN");
    Reply({0x91, 18, 1, 2});
    EXPECT_EQ(Identify(), "Flash: UNKNOWN");
    Reply({0x91, 17});
    EXPECT_EQ(Identify(), "Flash: AT29LV32X");
    Reply({});
    EXPECT_EQ(Identify(), "Flash: UNKNOWN");
    Reply({0x08, 0x08}); // no header: nothing is data
    EXPECT_EQ(Identify(), "Flash: UNKNOWN");
    EXPECT_TRUE(Logs().empty());
}

TEST_F(IdentifyTest, SlowBytesRestartTheSilenceLimit) {
    Reply({0x91, 0x01, 0x01, 0x22});
    port.InjectAfter(70, {0x7E, 0x01});
    port.InjectAfter(140, {0x00, 0x00, 0x00});
    EXPECT_EQ(Identify(), "AM29LV128MH/L");
}

TEST_F(IdentifyTest, StrayBytesCannotHoldTheReading) {
    // A loader that only babbles: the reading still ends.
    port.SetResponder([](CScriptPort& p, uint8_t b) {
        if (b == FLASH_ID_CODE)
            for (int i = 0; i < 40; ++i)
                p.InjectAfter(static_cast<uint32_t>(i * 10), std::vector<uint8_t>(20, 0x33));
    });
    uint32_t start = TickMs();
    EXPECT_EQ(Identify(), "Flash: UNKNOWN");
    EXPECT_LT(ElapsedMs(start), 1000u);
}
