#include "HelpFile.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>
#include <filesystem>
#include <unistd.h>

#ifndef KV_DOC_FROM_BIN
#define KV_DOC_FROM_BIN "../share/doc/kavrel"
#endif

namespace {
constexpr char HELP_FILE_NAME[] = "GNSS.html";
}

std::vector<std::string> HelpFileCandidates(const std::string& programDir) {
    const std::filesystem::path base(programDir.empty() ? std::string(".") : programDir);
    return {(base / HELP_FILE_NAME).lexically_normal().string(),
            (base / KV_DOC_FROM_BIN / HELP_FILE_NAME).lexically_normal().string()};
}

bool OpenHelpFile(const std::string& programDir, std::string& where) {
    where.clear();
    for (const std::string& path : HelpFileCandidates(programDir)) {
        if (access(path.c_str(), R_OK) == 0) {
            where = path;
            return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
        }
        where += (where.empty() ? "" : " or ") + path;
    }
    return false;
}
