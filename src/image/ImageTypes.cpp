#include "image/ImageTypes.h"

const char* FormatText(SectionFormat format) {
    switch (format) {
    case SectionFormat::Binary:
        return "binary";
    case SectionFormat::SRecord:
        return "motorola s-record";
    default:
        return "unknown";
    }
}

const char* FwIdText(FwId id) {
    switch (id) {
    case FwId::Pfl:
        return "PFL";
    case FwId::Sfl:
        return "SFL";
    case FwId::MainFirmware:
        return "Main F/W";
    case FwId::Options:
        return "Options";
    default:
        return "unknown";
    }
}
