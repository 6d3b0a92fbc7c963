#include "ui/about/about_box.h"

#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextBrowser>
#include <QTextCharFormat>
#include <QTextCursor>

#include "ui/common/form_layout.h"
#include "ui/common/ui_style.h"

namespace orvex {

QString AboutBox::versionNo;
QString AboutBox::partNo;

QString VersionTexts::resource(const char* key) {
    QFile f(QStringLiteral(":/version/") + QLatin1String(key));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).trimmed();
}

QString AboutBox::AboutText() {
    return ui::q("This software works with Halden's  Orvex™ illuminated keypad.\n"
                 "Copyright © 2026 Halden Interface Ltd. All rights reserved.\n"
                 "For more information visit Halden's Website:\n"
                 "\n"
                 "https://www.halden-interface.example\n"
                 "support@halden-interface.example");
}

AboutBox::AboutBox(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("AboutBox");
    setWindowTitle(ui::q("About Orvex™ Illuminated  Configuration Utility"));

    pictureLabel = new QLabel(this);
    pictureLabel->setObjectName("pictureLabel");
    pictureLabel->setGeometry(12, 12, 96, 96);
    pictureLabel->setPixmap(QPixmap(":/images/about.png"));
    pictureLabel->setScaledContents(true);
    pictureLabel->setAccessibleName(ui::q("Orvex™ keypad"));

    titleLabel = new QLabel(ui::q("Orvex™ Illuminated Configuration Utility"), this);
    titleLabel->setObjectName("titleLabel");
    titleLabel->setGeometry(120, 14, 230, 36);
    titleLabel->setWordWrap(true);
    titleLabel->setFont(ui::font(9, true));

    versionLabel = new QLabel(this);
    versionLabel->setObjectName("versionLabel");
    versionLabel->setGeometry(120, 54, 230, 18);
    versionLabel->setFont(ui::font(8.25));

    partNoCaption = new QLabel("Part No ", this);
    partNoCaption->setObjectName("partNoCaption");
    partNoCaption->setGeometry(120, 74, 50, 18);
    partNoCaption->setFont(ui::font(8.25));

    partNoLabel = new QLabel(this);
    partNoLabel->setObjectName("partNoLabel");
    partNoLabel->setGeometry(172, 74, 178, 18);
    partNoLabel->setFont(ui::font(8.25));

    copyrightLabel = new QLabel(ui::q("© 2026 Halden Interface Ltd."), this);
    copyrightLabel->setObjectName("copyrightLabel");
    copyrightLabel->setGeometry(120, 94, 230, 18);
    copyrightLabel->setFont(ui::font(8.25));

    auto* line = new QFrame(this);
    line->setObjectName("line");
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(12, 118, 337, 4);

    // Read-only: Tab stops only at its links, and clicking them does nothing.
    auto* browser = new QTextBrowser(this);
    browser->setOpenLinks(false);
    browser->setOpenExternalLinks(false);
    aboutText = browser;
    aboutText->setObjectName("aboutText");
    aboutText->setGeometry(12, 130, 337, 160);
    aboutText->setFont(ui::font(8.25));
    aboutText->setAccessibleName("About this utility");
    fillAboutText();
    // Nothing changes it for good, assistive technology included.
    connect(aboutText, &QTextEdit::textChanged, this, [this] {
        if (aboutText->toPlainText() != AboutText())
            QMetaObject::invokeMethod(this, &AboutBox::fillAboutText, Qt::QueuedConnection);
    });

    closeButton = new QPushButton("Close", this);
    closeButton->setObjectName("closeButton");
    closeButton->setGeometry(274, 304, 75, 28);
    closeButton->setFont(ui::font(8.25));
    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);

    showVersionTexts();
    ui::finishForm(this, {361, 347},
                   {.kind = ui::WindowKind::Dialog,
                    .onEscape = [this] { close(); },
                    .tabOrder = {aboutText, closeButton}});
    // It opens on its button, as dialogs do: Enter closes it at once.
    closeButton->setFocus(Qt::OtherFocusReason);
}

void AboutBox::fillAboutText() {
    const QSignalBlocker quiet(aboutText);
    aboutText->clear();
    // One paragraph a line, the empty one included. Web and mail addresses are
    // shown as links.
    QTextCursor cursor(aboutText->document());
    const QStringList lines = AboutText().split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (i > 0)
            cursor.insertBlock();
        QTextCharFormat format;
        if (line.startsWith("https://") || line.contains('@')) {
            format.setAnchor(true);
            format.setAnchorHref(line);
            // The palette's link colour, where it reads on the box's base.
            format.setForeground(ui::readableOn(aboutText->palette().color(QPalette::Base),
                                                palette().color(QPalette::Link)));
            format.setFontUnderline(true);
        }
        cursor.insertText(line, format);
    }
}

void AboutBox::showVersionTexts() {
    versionNo = VersionTexts::resource("Version");
    partNo = VersionTexts::resource("Part_Number");
    versionLabel->setText("Version " + versionNo);
    partNoLabel->setText(partNo);
}

} // namespace orvex
