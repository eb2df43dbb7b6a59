#pragma once
// A face without a toolkit for the dialog core's tests: it keeps what the core told it, per control id,
// answers message boxes from a list (OK when the list is empty) and runs posted tasks when asked.

#include "dialog/DialogView.h"
#include "dialog/MessageBoxRules.h"

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

class CRecordingView : public CDialogView {
public:
    void SetText(int id, const std::string& text) override { m_Texts[id] = text; }
    std::string Text(int id) override { return m_Texts[id]; }
    void SetToolTip(int id, const std::string& text) override { m_Tips[id] = text; }
    void Enable(int id, bool enabled) override { m_Enabled[id] = enabled; }
    bool IsEnabled(int id) override { return m_Enabled.count(id) == 0 || m_Enabled[id]; }
    void Show(int id, bool shown) override { m_Shown[id] = shown; }
    void Focus(int id) override { m_Focus = id; }
    void SetChecked(int id, bool checked) override { m_Checked[id] = checked; }
    bool IsChecked(int id) override { return m_Checked[id]; }
    void SetItems(int id, const std::vector<std::string>& items) override {
        m_Items[id] = items;
        m_Current[id] = -1;
    }
    void SetCurrent(int id, int index) override {
        m_Current[id] = index;
        // An editable list shows its chosen entry in its field, as the platforms' combo boxes do.
        if (index >= 0 && index < static_cast<int>(m_Items[id].size()))
            m_Texts[id] = m_Items[id][static_cast<size_t>(index)];
    }
    void SetProgress(int id, double fraction) override { m_Progress[id] = fraction; }
    void SetColors(int id, uint32_t filled, uint32_t rest) override { m_Colors[id] = {filled, rest}; }
    int LogLength() override { return static_cast<int>(m_Log.size()); }
    void AppendLog(const std::string& text) override { m_Log += text; }
    void DropLogHead(int count) override { m_Log.erase(0, static_cast<size_t>(count)); }
    // One unit a character.
    int TextRoom(int) override { return 40; }
    int TextWidth(int, const std::string& text) override { return static_cast<int>(text.size()); }
    int MessageBox(const std::string& text, const std::string& caption, unsigned, bool) override {
        m_Boxes.push_back(caption + ": " + text);
        if (m_Answers.empty())
            return IDOK;
        int answer = m_Answers.front();
        m_Answers.pop_front();
        return answer;
    }
    void Post(std::function<void()> task) override { m_Posted.push_back(std::move(task)); }
    void RunPosted() {
        while (!m_Posted.empty()) {
            auto task = std::move(m_Posted.front());
            m_Posted.pop_front();
            task();
        }
    }
    void StartTimer(int ms) override { m_TimerMs = ms; }
    void StopTimer() override { m_TimerMs = 0; }
    void StartDeviceWatch() override { m_Watching = true; }
    void StopDeviceWatch() override { m_Watching = false; }
    void BringToFront() override { ++m_Raised; }
    void EndDialog(int code) override { m_EndCode = code; }
    std::string ChooseImageFile(const std::string&) override { return m_ChosenImage; }
    std::string ChooseLogFile(const std::string&) override { return m_ChosenLog; }
    void ShowAbout() override { ++m_Abouts; }
    bool OpenHelp(std::string& where) override {
        where = "/nowhere/GNSS.html";
        return false;
    }

    std::map<int, std::string> m_Texts, m_Tips;
    std::map<int, bool> m_Enabled, m_Shown, m_Checked;
    std::map<int, std::vector<std::string>> m_Items;
    std::map<int, int> m_Current;
    std::map<int, double> m_Progress;
    std::map<int, std::pair<uint32_t, uint32_t>> m_Colors;
    std::string m_Log;
    std::vector<std::string> m_Boxes;
    std::deque<int> m_Answers;
    std::deque<std::function<void()>> m_Posted;
    int m_Focus = 0, m_TimerMs = 0, m_Raised = 0, m_EndCode = -1, m_Abouts = 0;
    bool m_Watching = false;
    std::string m_ChosenImage, m_ChosenLog;
};
