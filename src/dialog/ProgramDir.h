#pragma once
// The folder of the running program (where the loader file, the help file and the string catalogue live).

#include <string>

class CChannel;

// Empty when the program's path cannot be read; then "GetModuleFileName failed" is logged when a channel
// is given.
std::string ProgramDir(CChannel* channel = nullptr);
