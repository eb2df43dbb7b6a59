#include "ImageTool.h"
#include "ImageWriter.h"

#include "image/ImageTypes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text[0] == '-')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// "MAJ.MIN" in hexadecimal, each one byte.
bool ParseVersion(const std::string& text, uint8_t& major, uint8_t& minor) {
    size_t dot = text.find('.');
    if (dot == std::string::npos)
        return false;
    char* end = nullptr;
    std::string a = text.substr(0, dot);
    std::string b = text.substr(dot + 1);
    // One or two hexadecimal digits each: strtoul alone would take signs, blanks and a "0x".
    const auto digits = [](const std::string& t) {
        return !t.empty() && t.size() <= 2 &&
               t.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    };
    if (!digits(a) || !digits(b))
        return false;
    unsigned long hi = std::strtoul(a.c_str(), &end, 16);
    if (*end != '\0')
        return false;
    unsigned long lo = std::strtoul(b.c_str(), &end, 16);
    if (*end != '\0')
        return false;
    major = static_cast<uint8_t>(hi);
    minor = static_cast<uint8_t>(lo);
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "kavrel-image build: %s\n", message.c_str());
    return 2;
}

// Walks "--name value" and "--flag" options; returns false with a message for anything unknown.
class Options {
public:
    explicit Options(const Args& args) : m_Args(args) {}
    bool Next(std::string& name) {
        if (m_At >= m_Args.size())
            return false;
        name = m_Args[m_At++];
        return true;
    }
    bool Value(std::string& value) {
        if (m_At >= m_Args.size())
            return false;
        value = m_Args[m_At++];
        return true;
    }

private:
    const Args& m_Args;
    size_t m_At = 0;
};

int BuildUnion(const std::string& out, Options& options) {
    UnionParams params;
    std::string name;
    std::string value;
    while (options.Next(name)) {
        if (name == "--no-checksum") {
            params.lastChecksum = false;
            continue;
        }
        if (!options.Value(value))
            return Fail(name + " needs a value");
        bool ok = true;
        if (name == "--pfl-version")
            ok = ParseVersion(value, params.pflMajor, params.pflMinor);
        else if (name == "--pfl-size")
            ok = ParseNumber(value, params.pflSize);
        else if (name == "--fw-version")
            params.fwVersion = value;
        else if (name == "--fw-size")
            ok = ParseNumber(value, params.fwSize);
        else if (name == "--modules")
            ok = ParseNumber(value, params.modules);
        else if (name == "--sfl") {
            params.withSfl = true;
            params.sfl.version = value;
        } else if (name == "--sfl-size")
            ok = ParseNumber(value, params.sfl.size);
        else if (name == "--seed") {
            ok = ParseNumber(value, params.seed);
            params.sfl.seed = params.seed;
        } else
            return Fail("unknown option " + name);
        if (!ok)
            return Fail("bad value for " + name + ": " + value);
    }
    Bytes image;
    std::string error;
    if (!BuildUnionImage(params, image, error) || !WriteFile(out, image.data(), image.size(), error))
        return Fail(error);
    return 0;
}

int BuildOptions(const std::string& out, Options& options) {
    OptionsParams params;
    bool srec = false;
    std::string name;
    std::string value;
    while (options.Next(name)) {
        if (name == "--no-checksum") {
            params.checksum = false;
            continue;
        }
        if (name == "--srec") {
            srec = true;
            continue;
        }
        if (!options.Value(value))
            return Fail(name + " needs a value");
        bool ok = true;
        if (name == "--serial")
            params.serial = value;
        else if (name == "--size")
            ok = ParseNumber(value, params.size);
        else if (name == "--seed")
            ok = ParseNumber(value, params.seed);
        else
            return Fail("unknown option " + name);
        if (!ok)
            return Fail("bad value for " + name + ": " + value);
    }
    Bytes image;
    std::string error;
    if (srec)
        params.checksum = false; // S-records carry a checksum per line
    if (!BuildOptionsImage(params, image, error))
        return Fail(error);
    bool written = false;
    if (srec) {
        std::string text = ToSRecords(image, OPTIONS_BASE, OPTIONS_BASE, "options");
        written = WriteFile(out, text.data(), text.size(), error);
    } else {
        written = WriteFile(out, image.data(), image.size(), error);
    }
    return written ? 0 : Fail(error);
}

int BuildSfl(const std::string& out, Options& options) {
    SflParams params;
    bool binary = false;
    std::string name;
    std::string value;
    while (options.Next(name)) {
        if (name == "--binary") {
            binary = true;
            continue;
        }
        if (!options.Value(value))
            return Fail(name + " needs a value");
        bool ok = true;
        if (name == "--version")
            params.version = value;
        else if (name == "--size")
            ok = ParseNumber(value, params.size);
        else if (name == "--seed")
            ok = ParseNumber(value, params.seed);
        else
            return Fail("unknown option " + name);
        if (!ok)
            return Fail("bad value for " + name + ": " + value);
    }
    params.plainForm = binary;
    Bytes image;
    std::string error;
    if (!BuildSflImage(params, image, error))
        return Fail(error);
    bool written = false;
    if (binary) {
        written = WriteFile(out, image.data(), image.size(), error);
    } else {
        std::string text = ToSRecords(image, SFL_BASE, SFL_BASE, "tz5_sfl");
        written = WriteFile(out, text.data(), text.size(), error);
    }
    return written ? 0 : Fail(error);
}

} // namespace

int RunBuild(const Args& args) {
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: kavrel-image build union|options|sfl OUT [options] (see --help)\n");
        return 2;
    }
    Args rest(args.begin() + 2, args.end());
    Options options(rest);
    const std::string& kind = args[0];
    const std::string& out = args[1];
    if (kind == "union")
        return BuildUnion(out, options);
    if (kind == "options")
        return BuildOptions(out, options);
    if (kind == "sfl")
        return BuildSfl(out, options);
    return Fail("unknown kind '" + kind + "' (union, options or sfl)");
}
