#pragma once
// Shortening a path-like text to a width by replacing directories in its middle with "...".

#include <functional>
#include <string>

// width measures a text in pixels. The text is returned whole when it fits; otherwise the widest candidate
// "<head>...<tail>" that stays below limit, where head and tail grow by whole directories; the bare file
// name when no candidate fits.
std::string CompactPath(const std::string& text, int limit,
                        const std::function<int(const std::string&)>& width);
