#include "ui/about/about.h"

#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTextEdit>

#include "ui/common/ui_style.h"

namespace orvex {

QString about::versionNo;
QString about::partNo;

QString version::resource(const char* key) {
    QFile f(QStringLiteral(":/version/") + QLatin1String(key));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).trimmed();
}

QString about::AboutText() {
    return ui::q("This software works with Halden's  Orvex™ illuminated keypad.\n"
                 "Copyright © 2026 Halden Interface Ltd. All rights reserved.\n"
                 "For more information visit Halden's Website:\n"
                 "\n"
                 "https://www.halden-interface.example\n"
                 "support@halden-interface.example");
}

about::about(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("about");
    setWindowTitle(ui::q("About Orvex™ Illuminated  Configuration Utility"));
    setFixedSize(361, 347);

    pictureBox1 = new QLabel(this);
    pictureBox1->setObjectName("pictureBox1");
    pictureBox1->setGeometry(12, 12, 96, 96);
    pictureBox1->setPixmap(QPixmap(":/images/about.png"));
    pictureBox1->setScaledContents(true);

    label1 = new QLabel(ui::q("Orvex™ Illuminated Configuration Utility"), this);
    label1->setObjectName("label1");
    label1->setGeometry(120, 14, 230, 36);
    label1->setWordWrap(true);
    label1->setFont(ui::font(9, true));

    versionLbl = new QLabel(this);
    versionLbl->setObjectName("versionLbl");
    versionLbl->setGeometry(120, 54, 230, 18);
    versionLbl->setFont(ui::font(8.25));

    label3 = new QLabel("Part No ", this);
    label3->setObjectName("label3");
    label3->setGeometry(120, 74, 50, 18);
    label3->setFont(ui::font(8.25));

    partNoLbl = new QLabel(this);
    partNoLbl->setObjectName("partNoLbl");
    partNoLbl->setGeometry(172, 74, 178, 18);
    partNoLbl->setFont(ui::font(8.25));

    label2 = new QLabel(ui::q("© 2026 Halden Interface Ltd."), this);
    label2->setObjectName("label2");
    label2->setGeometry(120, 94, 230, 18);
    label2->setFont(ui::font(8.25));

    auto* line = new QFrame(this);
    line->setObjectName("line");
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(12, 118, 337, 4);

    richTextBox1 = new QTextEdit(this);
    richTextBox1->setObjectName("richTextBox1");
    richTextBox1->setGeometry(12, 130, 337, 160);
    richTextBox1->setFont(ui::font(8.25));
    // Web and mail addresses are shown as links; clicking them does nothing.
    QString html;
    for (const QString& line : AboutText().split('\n')) {
        const QString text = line.toHtmlEscaped();
        const bool link = line.startsWith("https://") || line.contains('@');
        html += "<p style=\"margin:0; white-space:pre-wrap\">" +
                (link ? "<a href=\"" + text + "\">" + text + "</a>" : text) + "</p>";
    }
    richTextBox1->setHtml(html);

    button2 = new QPushButton("Close", this);
    button2->setObjectName("button2");
    button2->setGeometry(274, 304, 75, 28);
    button2->setFont(ui::font(8.25));
    connect(button2, &QPushButton::clicked, this, &QWidget::close);

    about_Load();
}

void about::about_Load() {
    versionNo = version::resource("Version");
    partNo = version::resource("Part_Number");
    versionLbl->setText("Version " + versionNo);
    partNoLbl->setText(partNo);
}

} // namespace orvex
