// The About box, laid out from its template in dialog units.
#include "about_dlg.h"

#include "dialog_units.h"
#include "engine.h"  // DefaultCodec, CodecName, FormatDecoderVersions
#include "resource.h"

#include <QLabel>
#include <QPushButton>

#include <algorithm>

namespace {

constexpr size_t kDecodersTextSize = 160;  // the decoders' line, as vormic-cli --version has it

// The inflate implementation and the other decoders in use, from the calls vormic-cli --version
// makes, so both front ends name the same libraries and versions.
QString DecoderVersions() {
  char decoders[kDecodersTextSize];
  if (!FormatDecoderVersions(decoders, sizeof decoders)) decoders[0] = '\0';
  return QString::fromUtf8(kAboutCodecFmt).arg(QString::fromUtf8(CodecName(DefaultCodec()))) +
         QLatin1Char('\n') + QString::fromUtf8(kAboutDecodersFmt).arg(QString::fromUtf8(decoders));
}

}  // namespace

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

  auto make_text = [&](const char* name, const QString& text, const DialogRect& rect) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setGeometry(units.toPixels(rect));
    return label;
  };
  make_text("IDC_VERSION", QString::fromUtf8(kAboutVersionText), kAboutVersionRect);
  make_text("IDC_DESCRIPTION", QString::fromUtf8(kAboutDescriptionText), kAboutDescriptionRect);
  // The versions wrap to the box's width and can be selected, to be pasted into a report.
  QLabel* versions = make_text("IDC_VERSIONS", DecoderVersions(), kAboutVersionsRect);
  versions->setWordWrap(true);
  versions->setTextInteractionFlags(Qt::TextSelectableByMouse);
  versions->resize(versions->width(),
                   std::max(versions->height(), versions->heightForWidth(versions->width())));

  auto* ok = new QPushButton(QString::fromUtf8(kAboutOkText), this);
  ok->setObjectName(QStringLiteral("IDOK"));
  QRect ok_rect = units.toPixels(kAboutOkRect);
  const int gap = units.toPixels({0, 0, 0, kAboutOkGap}).height();
  ok_rect.moveTop(std::max(ok_rect.top(), versions->geometry().bottom() + 1 + gap));
  ok->setGeometry(ok_rect);
  ok->setDefault(true);
  ok->setFocus(Qt::OtherFocusReason);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  // A modal frame: the box keeps the size its template and texts give it.
  const QRect box = units.toPixels(kAboutDialogSize);
  const int margin = box.height() - units.toPixels(kAboutOkRect).bottom() - 1;
  setFixedSize(box.width(), std::max(box.height(), ok_rect.bottom() + 1 + margin));
}
