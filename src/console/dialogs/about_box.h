// The about box: the product, its version and the owner of the installation.
#pragma once

#include <QDialog>

namespace kestrune {

class TfrmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmAbout(QWidget* parent = nullptr);
};

}  // namespace kestrune
