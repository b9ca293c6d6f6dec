#pragma once
// The about box: the program's name and version, the maker's web site and
// support address as links, and a word of thanks. Also the fixed addresses that
// the help menu opens.

#include <QDialog>
#include <QLabel>
#include <QString>

class QPushButton;
class QWidget;

namespace tandemora {

// From the options file (HomePage, Manual, SupportEmail), with stand-ins until a
// packager sets them; the registry's HelpURL and HomePage are not used here.
QString HomePageAddress();
QString ManualAddress();
QString SupportEmail();
inline constexpr const char* kCopyrightNotice =
    "Copyright (C) The Tandemora developers. All rights reserved.";

// The help menu's two pages; a desktop that cannot open them shows nothing.
void OpenManualPage();
void OpenHomePage();

// A label that reads as a link (blue, underlined, hand cursor) and reports a click.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    void lb_website2Click();
    void lb_Email2Click();

    QWidget* Panel1 = nullptr;
    QLabel* ProgramIcon = nullptr;
    QLabel* lb_Version = nullptr;
    QLabel* lb_Copyright = nullptr;
    QLabel* lb_website = nullptr;
    TLinkLabel* lb_website2 = nullptr;
    QLabel* lb_Email = nullptr;
    TLinkLabel* lb_Email2 = nullptr;
    QLabel* lb_thanks = nullptr;
    QPushButton* OKButton = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
};

} // namespace tandemora
