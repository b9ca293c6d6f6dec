#include "dialogs/FAbout.h"

#include "dialogs/UShellOpen.h"
#include "tasks/URegSettings.h"
#include "tasks/UTSysConfig.h"
#include "ui/UProgramIcon.h"
#include "ui/UQtText.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

namespace tandemora {

QString HomePageAddress() {
    return ToQ(SysConfig != nullptr ? SysConfig->HomePage : kStandInHomePage);
}

QString ManualAddress() {
    return ToQ(SysConfig != nullptr ? SysConfig->Manual : kStandInManual);
}

QString SupportEmail() {
    return ToQ(SysConfig != nullptr ? SysConfig->SupportEmail : kStandInSupportEmail);
}

void OpenManualPage() {
    ShellOpenUrl(QUrl(ManualAddress()));
}

void OpenHomePage() {
    ShellOpenUrl(QUrl(HomePageAddress()));
}

// ---- Link label ---------------------------------------------------------------------------

TLinkLabel::TLinkLabel(QWidget* parent) : QLabel(parent) {
    setCursor(Qt::PointingHandCursor);
    QFont underlined = font();
    underlined.setUnderline(true);
    setFont(underlined);
    QPalette blue = palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    setPalette(blue);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

// ---- About box ----------------------------------------------------------------------------

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About");
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    auto* layout = new QVBoxLayout(this);
    Panel1 = new QWidget(this);
    auto* grid = new QGridLayout(Panel1);
    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setPixmap(TandemoraIcon().pixmap(48, 48));
    grid->addWidget(ProgramIcon, 0, 0, 4, 1, Qt::AlignTop);

    lb_Version = new QLabel(Panel1);
    QFont bold = lb_Version->font();
    bold.setBold(true);
    lb_Version->setFont(bold);
    lb_Copyright = new QLabel(Panel1);
    grid->addWidget(lb_Version, 0, 1, 1, 2);
    grid->addWidget(lb_Copyright, 1, 1, 1, 2);

    lb_website = new QLabel("Website:", Panel1);
    lb_website2 = new TLinkLabel(Panel1);
    grid->addWidget(lb_website, 2, 1);
    grid->addWidget(lb_website2, 2, 2);
    lb_Email = new QLabel("Email Us:", Panel1);
    lb_Email2 = new TLinkLabel(Panel1);
    grid->addWidget(lb_Email, 3, 1);
    grid->addWidget(lb_Email2, 3, 2);
    lb_thanks = new QLabel("Thank you for using!", Panel1);
    lb_thanks->hide();
    grid->addWidget(lb_thanks, 4, 1, 1, 2);
    grid->setColumnStretch(2, 1);
    layout->addWidget(Panel1, 1);

    // The stretches on both sides keep the button centred at any width.
    auto* buttons = new QHBoxLayout();
    OKButton = new QPushButton("OK", this);
    OKButton->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(OKButton);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(lb_website2, &TLinkLabel::clicked, this, &TAboutBox::lb_website2Click);
    connect(lb_Email2, &TLinkLabel::clicked, this, &TAboutBox::lb_Email2Click);
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TAboutBox::FormShow() {
    lb_thanks->show();
    lb_Version->setText(QString("Tandemora ") + kProgramVersion);
    lb_Copyright->setText(kCopyrightNotice);
    lb_website2->setText(HomePageAddress());
    lb_Email2->setText(SupportEmail());
    adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void TAboutBox::lb_website2Click() {
    ShellOpenUrl(QUrl(HomePageAddress()));
}

void TAboutBox::lb_Email2Click() {
    ShellOpenUrl(QUrl("mailto:" + SupportEmail()));
}

} // namespace tandemora
