#include "LogPath.h"

std::string CompactPath(const std::string& text, int limit,
                        const std::function<int(const std::string&)>& width) {
    if (width(text) <= limit)
        return text;
    size_t slash = text.rfind('/');
    std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    size_t n = text.size();
    // The tail is the name with the separator before it; the head keeps the root of an absolute path.
    size_t right = std::min(n, name.size() + 1);
    size_t left = (!text.empty() && text[0] == '/') ? 1 : 0;
    auto candidate = [&](size_t l, size_t r) { return text.substr(0, l) + "..." + text.substr(n - r); };
    std::string result = name;
    if (left + right > n || width(candidate(left, right)) >= limit)
        return result;
    result = candidate(left, right);
    bool rightStopped = false, leftStopped = false;
    while (!(rightStopped && leftStopped)) {
        if (!rightStopped) {
            // The next separator to the left of the current tail.
            if (n - right == 0)
                break;
            size_t pos = text.rfind('/', n - right - 1);
            if (pos == std::string::npos || pos < left)
                break;
            size_t newRight = n - pos;
            std::string c = candidate(left, newRight);
            if (width(c) < limit) {
                result = c;
                right = newRight;
            } else {
                rightStopped = true;
            }
        }
        if (!leftStopped) {
            size_t pos = text.find('/', left);
            if (pos == std::string::npos || pos + 1 > n - right)
                break;
            size_t newLeft = pos + 1;
            if (newLeft == left) {
                leftStopped = true;
                continue;
            }
            std::string c = candidate(newLeft, right);
            if (width(c) < limit) {
                result = c;
                left = newLeft;
            } else {
                leftStopped = true;
            }
        }
    }
    return result;
}
