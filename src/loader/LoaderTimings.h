#pragma once
// Limits of the loader link in milliseconds. The defaults are the protocol's own; tests shrink them to run
// fast, nothing else changes them.

#include <cstdint>

struct CLoaderTimings {
    uint32_t okWaitMs = 1000;      // WaitOk
    uint32_t recWaitMs = 4000;     // WaitRecWait
    uint32_t paramMs = 10000;      // SkipParam, ReadParam (both bytes)
    uint32_t helloMs = 10000;      // first HELLO_CODE of the first-stage loader
    uint32_t handshakeMs = 10000;  // greeting and speed agreement after the first answer
    uint32_t sfldVersionMs = 2000; // ReadSfldVersion
    uint32_t pfldVersionMs = 1000; // ReadPfldVersion
    uint32_t flashIdMs = 1000;     // IdentifyFlash, silence after the last byte
    uint32_t bootReloadMs = 500;   // BootReload, times the port's response factor
    uint32_t sectorEraseMs = 5000; // WaitErase, since the start or the last sector report
    uint32_t sendRecordMs = 10000; // SendRecord, all attempts of one frame
    uint32_t recordAckMs = 5000;   // SendRecordOnce, acknowledge of one frame
    uint32_t listenMs = 250;       // EnterLoaderMode, listening window per sentence
    uint32_t budgetUnitMs = 1000;  // EnterLoaderMode, one unit of m_ConnectBudget
    uint32_t paceMs = 10;          // pause of the paced loops
    uint32_t txDrainMs = 2000;     // transmit drain, beyond the line time of what was queued
    uint32_t waitSliceMs = 50;     // longest single data-arrival wait, bounds the reaction to a cancel
};
