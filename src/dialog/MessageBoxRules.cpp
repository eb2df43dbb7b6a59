#include "MessageBoxRules.h"

namespace {

bool g_MessageBoxesOff = false;
bool g_QuestionsRefused = false;
std::function<void(const std::string&, const std::string&, const char*)> g_Echo;

bool IsQuestion(unsigned style) {
    return (style & 0x0F) == MB_OKCANCEL;
}

} // namespace

void SetMessageBoxesOff(bool off) {
    g_MessageBoxesOff = off;
}

bool MessageBoxesOff() {
    return g_MessageBoxesOff;
}

void SetQuestionsRefused(bool refused) {
    g_QuestionsRefused = refused;
}

void SetMessageBoxEcho(std::function<void(const std::string&, const std::string&, const char*)> echo) {
    g_Echo = std::move(echo);
}

bool AnswerWithoutBox(const std::string& text, const std::string& caption, unsigned style, int& answer) {
    bool refused = g_QuestionsRefused && IsQuestion(style);
    if (g_Echo)
        g_Echo(caption, text, g_MessageBoxesOff && IsQuestion(style) ? (refused ? "Cancel" : "OK") : nullptr);
    if (!g_MessageBoxesOff)
        return false;
    answer = refused ? IDCANCEL : IDOK;
    return true;
}
