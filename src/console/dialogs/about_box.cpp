// The about box. The owner is the full name of the account the server runs as and the
// organisation the machine's name: what this platform knows of its registered owner.
#include "console/dialogs/about_box.h"

#include <pwd.h>
#include <unistd.h>

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "console/dialogs/dialog_helpers.h"
#include "host/command_line.h"

namespace kestrune {

namespace {

// The owner of the installation: the full name of the account the server runs as.
QString OwnerName() {
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr) {
    std::string gecos = entry->pw_gecos != nullptr ? entry->pw_gecos : "";
    gecos = gecos.substr(0, gecos.find(','));
    return ToQString(gecos.empty() ? std::string(entry->pw_name) : gecos);
  }
  return {};
}

QString Organisation() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return {};
  return QString::fromLocal8Bit(host);
}

}  // namespace

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About Kestrune");
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel("Kestrune");
  QFont big = title->font();
  big.setPointSizeF(big.pointSizeF() * 1.6);
  big.setBold(true);
  title->setFont(big);
  layout->addWidget(title);
  layout->addWidget(
      new QLabel(QString("Web-mail gateway server, version %1").arg(ToQString(kVersion))));
  layout->addSpacing(8);
  layout->addWidget(new QLabel("This product is licensed to:"));
  auto* owner = new QLabel(OwnerName());
  owner->setObjectName("RegisteredName");
  layout->addWidget(owner);
  auto* organisation = new QLabel(Organisation());
  organisation->setObjectName("RegisteredOrganization");
  layout->addWidget(organisation);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  setMinimumWidth(320);
}

}  // namespace kestrune
