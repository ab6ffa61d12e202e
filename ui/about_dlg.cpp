// The About box, laid out from its template in dialog units.
#include "about_dlg.h"

#include "dialog_units.h"
#include "resource.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(const QIcon& icon, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("IDD_ABOUT_BOX"));
  setWindowTitle(QString::fromUtf8(kAboutCaption));
  setFont(QFont(QString::fromLatin1(kDialogFontFamily), kDialogFontPoints));
  const DialogUnits units(font());

  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("IDR_MAINFRAME"));
  picture->setGeometry(units.toPixels(kAboutIconRect));
  picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  picture->setPixmap(icon.pixmap(32, 32));

  auto* version = new QLabel(QString::fromUtf8(kAboutVersionText), this);
  version->setObjectName(QStringLiteral("IDC_VERSION"));
  version->setTextFormat(Qt::PlainText);
  version->setGeometry(units.toPixels(kAboutVersionRect));

  auto* ok = new QPushButton(QString::fromUtf8(kAboutOkText), this);
  ok->setObjectName(QStringLiteral("IDOK"));
  ok->setGeometry(units.toPixels(kAboutOkRect));
  ok->setDefault(true);
  ok->setFocus(Qt::OtherFocusReason);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  // A modal frame: the box keeps its template size.
  setFixedSize(units.sizeToPixels(kAboutDialogSize));
}
