#include "StringTable.h"

#include <fstream>
#include <map>

namespace {

struct StringEntry {
    int id;
    const char* text;
};

constexpr StringEntry BUILTIN[] = {
    {101, "About Kavrel"},
    {102, "Version"},
    {103, "Close"},
    {104, "Please choose firmware or options file to upload:"},
    {105, "Choose port:"},
    {106, "Ver."},
    {107, "Browse"},
    {108, "Save log to file"},
    {109, "Upload"},
    {110, "Press here to start uploading"},
    {111, "Press here to choose log file"},
    {112, "Press here to choose image file to upload"},
    {113, "Kavrel"},
    {114, "Serial firmware loader for GNSS receivers"},
    {115, "Connection"},
    {116, "File information"},
    {117, "Connect"},
    {118, "Refresh"},
    {119, "Press here to connect to target"},
    {120, "Press here to refresh file information"},
    {123, "Type:"},
    {124, "Connected"},
    {125, "Not connected"},
    {126, "Version:"},
    {127, "PFL version:"},
    {128, "Status:"},
    {129, "Receiver:"},
    {132, "Information"},
    {133, "Choose correct image file and check connection to the receiver"},
    {134, "Choose correct image file"},
    {135, "Check connection to the receiver"},
    {136, "Upload canceled"},
    {137, "Erasing FLASH memory"},
    {138, "Programming"},
    {140, "Check image file name"},
    {141, "ERROR: image open failed"},
    {142, "Save log to file"},
    {143, "Options"},
    {144, "Firmware"},
    {145, "Unavailable"},
    {146, "ERROR: upload failed"},
    {147, "Upload complete"},
    {148, "Cancel"},
    {149, "ERROR: failed to open SFL file:"},
    {150, "Wait for upload to finish"},
    {151, "Options:"},
    {152, "Serial:"},
    {153, "Date:"},
    {154, "Time:"},
    {155, "Press here to cancel uploading"},
    {156, "Upload incomplete"},
    {157, "ERROR: corrupted file"},
    {158, "ERROR: image file name field empty"},
    {159, "ERROR: can't open help file"},
    {160, "Help"},
    {161, "Busy"},
    {162, "https://www.kestrin.example/"},
    {163, "Port not found:"},
    {164, "Exit"},
    {165, "Press here to close the Kavrel"},
    {167, "Checking..."},
    {168,
     "You are trying to upload firmware from different GNSS receiver.\nIt can lead your GNSS receiver to "
     "nonoperable state.\nAre you sure?"},
    {169, "GNSS receiver type undetected.\nProceed with image uploading"},
    {170, "Warning"},
    {171, "Wait for upload to complete."},
};

std::map<int, std::string>& Catalogue() {
    static std::map<int, std::string> catalogue;
    return catalogue;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// "\n" and "\t" in a catalogue text stand for a line break and a tab, "\\" for a backslash.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[i + 1];
            if (c == 'n' || c == 't' || c == '\\') {
                out += c == 'n' ? '\n' : c == 't' ? '\t' : '\\';
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

} // namespace

const char* BuiltinStr(int id) {
    for (const StringEntry& e : BUILTIN)
        if (e.id == id)
            return e.text;
    return "";
}

std::string LoadStr(int id) {
    auto& catalogue = Catalogue();
    auto it = catalogue.find(id);
    if (it != catalogue.end())
        return it->second;
    return BuiltinStr(id);
}

void ResetStringCatalogue() {
    Catalogue().clear();
}

bool LoadStringCatalogue(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::map<int, std::string> entries;
    bool inStrings = false;
    std::string line;
    while (std::getline(in, line)) {
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#')
            continue;
        if (t[0] == '[') {
            inStrings = t == "[Strings]";
            continue;
        }
        if (!inStrings)
            continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = Trim(t.substr(0, eq));
        if (key.empty() || key.size() > 4 || key.find_first_not_of("0123456789") != std::string::npos)
            continue;
        int id = std::stoi(key);
        std::string text = Trim(t.substr(eq + 1));
        // A text may be quoted to keep its outer spaces.
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
        entries[id] = Unescape(text);
    }
    Catalogue() = std::move(entries);
    return true;
}
