#pragma once
// The program's string table (ids 101..171). An optional catalogue "localization.ini" beside the program
// ([Strings], id=text, "\n" for a line break) replaces entries; without it the built-in texts are used.

#include <string>

constexpr const char* PROGRAM_VERSION = "2.06";
constexpr const char* LOCALIZATION_FILE = "localization.ini";

// The text of a string id: the catalogue's entry when one was loaded, else the built-in text; "" for an
// unknown id.
std::string LoadStr(int id);
// The built-in text only.
const char* BuiltinStr(int id);

// Reads the catalogue; false when the file is missing or unreadable (the built-in texts then stay).
bool LoadStringCatalogue(const std::string& path);
// Forgets every catalogue entry.
void ResetStringCatalogue();
