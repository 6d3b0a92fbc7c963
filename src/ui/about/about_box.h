#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTextEdit;

namespace orvex {

// Owner of the version texts carried as resources; never shown.
class VersionTexts {
public:
    static QString resource(const char* key);
};

// The about window: name, version, part number and a short text.
class AboutBox : public QWidget {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);

    static QString versionNo;
    static QString partNo;

    QLabel* pictureLabel;
    QLabel* titleLabel;
    QLabel* versionLabel;
    QLabel* partNoCaption;
    QLabel* partNoLabel;
    QLabel* copyrightLabel;
    QTextEdit* aboutText;
    QPushButton* closeButton;

    static QString AboutText();

private:
    void showVersionTexts();
    void fillAboutText();
};

} // namespace orvex
