// The online help pages and the file manager, through the desktop's URL handlers.
#include "console/dialogs/dialog_helpers.h"

#include <QDesktopServices>
#include <QUrl>

namespace kestrune {

namespace {
constexpr std::string_view kHelpBase = "https://kestrune.org/help/";
}  // namespace

void OpenHelpPage(std::string_view topic) {
  QDesktopServices::openUrl(QUrl(ToQString(std::string(kHelpBase) + std::string(topic) + ".html")));
}

void OpenDirectory(const std::filesystem::path& directory) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(ToQString(directory.string())));
}

}  // namespace kestrune
