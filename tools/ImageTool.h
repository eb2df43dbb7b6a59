#pragma once
// Sub-commands of kavrel-image. Each returns the process exit code.

#include <string>
#include <vector>

using Args = std::vector<std::string>;

int RunInfo(const Args& args);
int RunLoader(const Args& args);
int RunBuild(const Args& args);
void PrintUsage();
