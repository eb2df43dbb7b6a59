#pragma once
// A scripted receiver behind CScriptPort: firmware that answers the loader-mode sentences, a resident loader
// that takes frames into RAM and starts the first-stage loader, and a first-stage loader that greets, agrees
// the speed, identifies the flash, erases and programs. It answers at once (no line timing) and records what
// it was sent, so the protocol code can be checked byte for byte. Fault knobs cover the error paths.

#include "ScriptPort.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class CScriptReceiver {
public:
    enum class Stage { Firmware, Pfld, Sfld };
    enum class Phase { Command, EraseFrame, Frames };

    explicit CScriptReceiver(CScriptPort& port);
    ~CScriptReceiver();

    // --- knobs ---
    bool answerLoa = true;
    bool answerLdr = true;
    bool pfldAnswersVersion = true;
    std::string pfldBanner = "$VER,PFLD_Pellar2v1.5\r\n";
    std::string sfldLine = "$VER,SFLD script 2.0\r\n";
    // HELLO_CODE bytes sent in answer to the first OK_CODE of the greeting (the loader keeps greeting).
    int extraHellos = 1;
    std::vector<uint8_t> flashIdReply = {0x91, 0x01, 0x01, 0x22, 0x7E, 0x01, 0x00, 0x00, 0x00};
    // 0: no answer; otherwise the byte answered to BOOT_RELOAD.
    uint8_t bootReply = 0x07;
    uint8_t sectors = 4;
    // When not empty, sent after the erase command frame's acknowledge instead of the sector reports.
    std::vector<uint8_t> eraseReply;
    // Data frame number (from 1, counting first-stage loader data frames) answered once with a code.
    int rejectFrame = 0;
    uint8_t rejectCode = 0x81;
    bool rejectAlways = false;
    // Data frame number left once without any acknowledge.
    int silentFrame = 0;
    // Called with an event name: "sentence", "pfld-frame", "run", "hello", "sfld-frame", "erase".
    std::function<void(const std::string& event)> onEvent;

    // --- observations ---
    Stage stage = Stage::Firmware;
    int loaSeen = 0;
    int ldrSeen = 0;
    int pfldFrames = 0;
    int sfldDataFrames = 0;
    int emptyFrames = 0;
    int bootRequests = 0;
    int eraseCommands = 0;
    uint32_t runAddress = 0;
    uint32_t eraseFrom = 0;
    uint32_t eraseTo = 0;
    std::map<uint32_t, uint8_t> ram;
    std::map<uint32_t, uint8_t> flash;

    // Skips to a first-stage loader that has finished its greeting.
    void StartAtSfld() {
        stage = Stage::Sfld;
        m_GreetOks = 3;
        m_Phase = Phase::Command;
    }

    // Bytes of the flash from address, 0xFF where nothing was written.
    std::vector<uint8_t> FlashBytes(uint32_t address, size_t count) const;

private:
    void OnByte(uint8_t b);
    void OnFrame();
    void Say(std::vector<uint8_t> bytes);
    void Event(const std::string& name);

    CScriptPort& m_Port;
    std::string m_Text;
    bool m_InRun = false;
    std::string m_Run;
    bool m_InFrame = false;
    std::vector<uint8_t> m_Frame;
    size_t m_FrameNeed = 0;
    int m_GreetOks = 0;
    bool m_BaudOpen = false;
    int m_BaudBytes = 0;
    uint8_t m_BaudIndex = 0;
    Phase m_Phase = Phase::Command;
    bool m_Rejected = false;
    bool m_Silenced = false;
};
