#pragma once
// What both programs do around one upload once the job has ended: let the restarted receiver identify
// itself, compare what it reports with the image (verification), and say in one line what was done.

#include "upload/ReceiverCheck.h"

#include <cstdint>
#include <functional>
#include <string>

class CImageFile;
class CSystem;

// What the image says the receiver should report after the upload.
struct ImageExpectation {
    bool optionsImage = false; // an Options image: serial and options are compared, else the version
    std::string version;       // main firmware version (4 characters as in the file)
    std::string serial;        // serial held in an Options image
    std::string options;       // options an Options image places; empty when its section names none
};
ImageExpectation ExpectationOf(const CImageFile& image);

struct VerifyOutcome {
    bool verified = false;
    // Another receiver (another model, or another serial than the one checked or written) answered.
    bool differentReceiver = false;
    std::string reason; // why not; empty when verified
};
// before: the receiver checked right before the upload (empty, or a receiver in its loader, when its model
// and serial are not known); identified: the restarted receiver answered a check; after: what it reported.
// A receiver other than the one checked is never a pass.
VerifyOutcome VerifyReceiver(const ImageExpectation& expected, const ReceiverTexts& before, bool identified,
                             const ReceiverTexts& after);

// A reported version matches the image's when equal as written, or equal to the image's digits read as
// the check converts them ("0102" is reported as "1.2" by a receiver that refuses the options query).
bool VersionMatches(const std::string& imageVersion, const std::string& reported);

// Does what the dialog's timer does for the workers: a raised "port opened" cell asks for a check.
void ServiceCheckRequests(CSystem& system);

// After a job: waits until the worker is idle again, then until the receiver has identified itself (asking
// again while it does not), within limitMs in all. stop ends the wait early. True when identified.
bool AwaitIdentification(CSystem& system, uint32_t limitMs, const std::function<bool()>& stop = {});

struct UploadSummary {
    ReceiverTexts before;
    ReceiverTexts after;
    bool afterKnown = false;
    uint64_t bytes = 0;
    double seconds = 0;
};
// "TZ5N KV000001: version 0102 -> A123, 131072 bytes in 0:12 (10.9 kB/s)".
std::string SummaryLine(const UploadSummary& summary);
// "12.3 kB/s" and "m:ss".
std::string RateText(double bytesPerSecond);
std::string DurationText(double seconds);
