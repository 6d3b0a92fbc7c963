#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTextEdit;

namespace orvex {

// Owner of the version texts carried as resources; never shown.
class version {
public:
    static QString resource(const char* key);
};

// The about window: name, version, part number and a short text.
class about : public QWidget {
    Q_OBJECT
public:
    explicit about(QWidget* parent = nullptr);

    static QString versionNo;
    static QString partNo;

    QLabel* pictureBox1;
    QLabel* label1;
    QLabel* versionLbl;
    QLabel* label3;
    QLabel* partNoLbl;
    QLabel* label2;
    QTextEdit* richTextBox1;
    QPushButton* button2;

    static QString AboutText();

private:
    void about_Load();
};

} // namespace orvex
