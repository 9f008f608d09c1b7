// Small pieces every console dialog uses: UTF-8 conversions, the online help pages and
// opening a directory in the desktop's file manager.
#pragma once

#include <QString>
#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune {

inline QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

// Opens the online help page topic ("settings/general", "users", "wizard"...).
void OpenHelpPage(std::string_view topic);
// Opens directory in the desktop's file manager.
void OpenDirectory(const std::filesystem::path& directory);

}  // namespace kestrune
