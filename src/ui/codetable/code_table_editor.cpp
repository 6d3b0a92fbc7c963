#include "ui/codetable/code_table_editor.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionButton>

#include "device/device_commands.h"
#include "device/hid_link.h"
#include "device/keypad_presence.h"
#include "ops/keypad_changes.h"
#include "platform/prompter.h"
#include "ui/common/accessibility.h"
#include "ui/common/form_layout.h"
#include "ui/common/keyboard.h"
#include "ui/common/ui_style.h"

namespace orvex {

namespace {

// How far a placeholder moves from the text colour towards the face.
constexpr double kPlaceholderFade = 0.377;

} // namespace

void KeyButton::setFace(const QColor& colour) {
    face_ = colour;
    QPalette p = palette();
    p.setColor(QPalette::Button, colour.isValid() ? colour : QColor(Qt::transparent));
    setPalette(p);
    update();
}

void KeyButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (face_.isValid())
        p.fillRect(rect(), isDown() ? face_.darker(120) : face_);
    else if (isDown())
        p.fillRect(rect(), QColor(0, 0, 0, 50));
    p.setBrush(Qt::NoBrush);
    if (face_.isValid()) {
        p.setPen(QPen(hasFocus() ? QColor(0, 90, 200) : QColor(60, 60, 60), hasFocus() ? 2 : 1));
        p.drawRect(r);
    } else {
        // Over the picture only a soft outline, so the drawn key stays the key.
        p.setPen(
            QPen(hasFocus() ? QColor(0, 90, 200) : QColor(40, 40, 40, 110), hasFocus() ? 2 : 1));
        p.drawRoundedRect(r, 10, 10);
    }
    if (isChecked())
        drawMark(p);
    // Dark faces carry white text; light faces and the picture black text.
    const bool dark = face_.isValid() && face_.lightness() < 100;
    p.setPen(dark ? Qt::white : Qt::black);
    p.setFont(font());
    p.drawText(rect().adjusted(3, 1, -3, -1), Qt::AlignCenter | Qt::TextWordWrap, text());
}

void KeyButton::drawMark(QPainter& p) const {
    // A marked key shows it by shape as well as by colour: a dashed frame
    // inside its edge and, on keys, a tick in the top right corner; dark on a
    // light outline, so it shows on every key colour.
    const int pen = height() >= 40 ? 3 : 2;
    const QRectF frame = QRectF(rect()).adjusted(pen + 1.5, pen + 1.5, -pen - 1.5, -pen - 1.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, pen + 2));
    p.drawRect(frame);
    p.setPen(QPen(Qt::black, pen, Qt::DashLine));
    p.drawRect(frame);
    if (height() < 40)
        return;
    const double size = 14;
    const QPointF origin(rect().right() - 2 * pen - 4 - size, 2 * pen + 4);
    const QPointF tick[] = {origin + QPointF(0, size * 0.55), origin + QPointF(size * 0.38, size),
                            origin + QPointF(size, 0)};
    p.setPen(QPen(Qt::white, pen + 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(tick, 3);
    p.setPen(QPen(Qt::black, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(tick, 3);
}

CodeTableEditor::CodeTableEditor(Design design, QWidget* owner)
    : QWidget(owner, Qt::Window), design_(std::move(design)) {
    setObjectName(design_.objectName);
    setWindowTitle(design_.title);
    setAttribute(Qt::WA_DeleteOnClose);

    headingLabel = new QLabel(design_.heading, this);
    headingLabel->setObjectName("headingLabel");
    headingLabel->setGeometry(design_.headingGeometry);
    headingLabel->setFont(ui::font(15.75, true));

    auto makeList = [this](const char* name, const char* spokenName, const QString& placeholder) {
        auto* box = new ui::NamedList(spokenName, this);
        box->setObjectName(name);
        box->setGeometry(design_.pickListGeometry);
        box->setFont(ui::font(11.25));
        box->setPlaceholderText(placeholder);
        box->setMaxVisibleItems(20);
        // Fainter than an entry but read at 4.5:1 or better on the list's
        // own face, light or dark (styles draw placeholders fainter still):
        // (90, 90, 90) on the default light face.
        QPalette palette = box->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive})
            palette.setColor(group, QPalette::PlaceholderText,
                             ui::fadedText(palette.color(group, QPalette::ButtonText),
                                           palette.color(group, QPalette::Button),
                                           kPlaceholderFade));
        box->setPalette(palette);
        return box;
    };
    keyCodeList = makeList("keyCodeList", "Key code", "Select Code");
    for (const std::string& item : UsageList(design_.usage))
        keyCodeList->addItem(QString::fromStdString(item));
    keyCodeList->setCurrentIndex(-1);
    modifierList = makeList("modifierList", "Modifier", "Modifier");
    for (std::string_view item : ModifierList)
        modifierList->addItem(QString::fromUtf8(item.data(), static_cast<int>(item.size())));
    modifierList->setCurrentIndex(-1);

    auto makeButton = [this](const char* name, const char* text, QRect geometry) {
        auto* b = new ui::WrapButton(text, this);
        b->setObjectName(name);
        b->setGeometry(geometry);
        b->setFont(ui::font(13.8));
        return b;
    };
    resetButton = makeButton("resetButton", "Reset", design_.resetGeometry);
    applyButton = makeButton("applyButton", "Apply", design_.applyGeometry);
    closeButton = makeButton("closeButton", "Close", design_.closeGeometry);

    // Only a pick the user commits changes keys.
    for (QComboBox* list : {keyCodeList, modifierList})
        ui::commitOnlyOnExplicitChoice(list);
    connect(keyCodeList, &QComboBox::activated, this, &CodeTableEditor::keyCodePicked);
    connect(modifierList, &QComboBox::activated, this, &CodeTableEditor::modifierPicked);
    connect(resetButton, &QPushButton::clicked, this, &CodeTableEditor::resetTable);
    connect(applyButton, &QPushButton::clicked, this, &CodeTableEditor::applyTable);
    connect(closeButton, &QPushButton::clicked, this, &CodeTableEditor::closeWindow);
}

void CodeTableEditor::addEntry(QWidget* keyParent, QRect key, const QString& designText,
                               const QColor& idleFace, QWidget* modifierParent, QRect modifier) {
    const int n = entryCount() + 1;
    auto* k = new KeyButton(designText, keyParent);
    k->setObjectName(QStringLiteral("keyButton%1").arg(n));
    k->setGeometry(key);
    k->setFont(ui::font(14.25, true));
    k->setFace(idleFace);
    auto* m = new KeyButton("None", modifierParent);
    m->setObjectName(QStringLiteral("modifierButton%1").arg(n));
    m->setGeometry(modifier);
    m->setFont(ui::font(9.75));
    m->setFace(keycolour::ModifierNormal);
    // Checked while marked, so the mark is a state screen readers tell.
    k->setCheckable(true);
    m->setCheckable(true);
    connect(k, &QPushButton::clicked, this, [this, n] { selectKey(n); });
    connect(m, &QPushButton::clicked, this, [this, n] { selectModifier(n); });
    keyButtons.push_back(k);
    modifierButtons.push_back(m);
    Entry e;
    e.idleFace = idleFace;
    entries.push_back(e);
}

void CodeTableEditor::LoadTable(const std::array<uint8_t, 32>& table) {
    for (int n = 1; n <= entryCount(); ++n) {
        Entry& e = entries[static_cast<size_t>(n - 1)];
        const uint8_t modifier = table[static_cast<size_t>(2 * (n - 1))];
        e.modifier = ModifierIndexFromCode(modifier);
        e.modifierByteAtOpening = modifier;
        e.code = table[static_cast<size_t>(2 * n - 1)];
        keyButtons[static_cast<size_t>(n - 1)]->setText(QString::fromStdString(CodeLabel(e.code)));
    }
    updateEntryViews();
}

void CodeTableEditor::rememberOpeningState() {
    keyCodeList->hide();
    modifierList->hide();
    for (int i = 0; i < entryCount(); ++i) {
        Entry& e = entries[static_cast<size_t>(i)];
        e.codeAtOpening = e.code;
        e.modifierAtOpening = e.modifier;
        e.keyTextAtOpening = keyButtons[static_cast<size_t>(i)]->text();
        // A byte the list has no entry for is shown by its value and sent back
        // as it came unless the user picks a modifier.
        const QString text = QString::fromStdString(ModifierText(e.modifierByteAtOpening));
        modifierButtons[static_cast<size_t>(i)]->setText(text);
        e.modifierTextAtOpening = text;
    }
    modifierNormalColour =
        modifierButtons.empty() ? keycolour::ModifierNormal : modifierButtons.front()->face();
    keySelected = 0;
    modSelected = 0;
    updateEntryViews();
}

void CodeTableEditor::finishEditor() {
    std::vector<QWidget*> order;
    for (int i = 0; i < entryCount(); ++i) {
        order.push_back(modifierButtons[static_cast<size_t>(i)]);
        order.push_back(keyButtons[static_cast<size_t>(i)]);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{keyCodeList, modifierList, resetButton,
                                                      applyButton, closeButton})
        order.push_back(w);
    ui::finishForm(
        this, design_.size,
        {.kind = ui::WindowKind::Dialog, .onEscape = [this] { closeWindow(); }, .tabOrder = order});
}

QString CodeTableEditor::EntryName(int n) const {
    if (n == entryCount() - 1 && design_.usage == UsageListSize::Short)
        return QStringLiteral("Key %1, jack in").arg(n);
    if (n == entryCount() && design_.usage == UsageListSize::Short)
        return QStringLiteral("Key %1, jack out").arg(n);
    return QStringLiteral("Key %1").arg(n);
}

void CodeTableEditor::updateEntryViews() {
    for (int n = 1; n <= entryCount(); ++n) {
        const bool keyMarked = keySelected & (1u << (n - 1));
        const bool modifierMarked = modSelected & (1u << (n - 1));
        KeyButton* k = keyButtons[static_cast<size_t>(n - 1)];
        KeyButton* m = modifierButtons[static_cast<size_t>(n - 1)];
        const QString modifier = m->text().simplified();
        k->setChecked(keyMarked);
        m->setChecked(modifierMarked);
        k->setAccessibleName(EntryName(n) + ": " + k->text() + ", " + modifier +
                             (keyMarked ? ", marked" : ""));
        m->setAccessibleName(EntryName(n) + " modifier: " + modifier +
                             (modifierMarked ? ", marked" : ""));
    }
}

void CodeTableEditor::showListAfter(QComboBox* list, QWidget* button) {
    list->show();
    // Tab goes from the button just marked to the list that sets it.
    QWidget::setTabOrder(button, list);
    listAnchor_ = button;
}

void CodeTableEditor::returnFocusFrom(QComboBox* list) {
    if (list->hasFocus() && listAnchor_)
        listAnchor_->setFocus(Qt::OtherFocusReason);
}

void CodeTableEditor::setKeyFace(int n, const QColor& colour) {
    keyButtons[static_cast<size_t>(n - 1)]->setFace(colour);
}

void CodeTableEditor::selectKey(int n) {
    if (n < 1 || n > entryCount())
        return;
    const uint32_t bit = 1u << (n - 1);
    if (!(keySelected & bit)) {
        setKeyFace(n, keycolour::Orange);
        modifierList->hide();
        showListAfter(keyCodeList, keyButtons[static_cast<size_t>(n - 1)]);
    } else {
        // Unmarked keys turn red, in every editor: on the picture too, where
        // they opened see-through.
        setKeyFace(n, keycolour::Red);
    }
    keySelected ^= bit;
    updateEntryViews();
}

void CodeTableEditor::selectModifier(int n) {
    if (n < 1 || n > entryCount())
        return;
    const uint32_t bit = 1u << (n - 1);
    KeyButton* m = modifierButtons[static_cast<size_t>(n - 1)];
    if (!(modSelected & bit)) {
        m->setFace(keycolour::Orange);
        keyCodeList->hide();
        showListAfter(modifierList, m);
    } else {
        m->setFace(modifierNormalColour);
    }
    modSelected ^= bit;
    updateEntryViews();
}

void CodeTableEditor::keyCodePicked(int position) {
    if (position < 0 || position >= keyCodeList->count())
        return;
    returnFocusFrom(keyCodeList);
    keyCodeList->hide();
    // Back to the placeholder, so the list next opens on "Select Code".
    keyCodeList->setCurrentIndex(-1);
    for (int n = 1; n <= entryCount(); ++n) {
        if (!(keySelected & (1u << (n - 1))))
            continue;
        keyButtons[static_cast<size_t>(n - 1)]->setText(
            QString::fromStdString(CodeLabel(position)));
        entries[static_cast<size_t>(n - 1)].code = position;
        setKeyFace(n, keycolour::Green);
    }
    keySelected = 0;
    updateEntryViews();
}

void CodeTableEditor::modifierPicked(int position) {
    if (position < 0 || position >= modifierList->count())
        return;
    returnFocusFrom(modifierList);
    modifierList->hide();
    const QString text = modifierList->itemText(position);
    modifierList->setCurrentIndex(-1);
    for (int n = 1; n <= entryCount(); ++n) {
        if (!(modSelected & (1u << (n - 1))))
            continue;
        KeyButton* m = modifierButtons[static_cast<size_t>(n - 1)];
        m->setText(text);
        entries[static_cast<size_t>(n - 1)].modifier = position;
        m->setFace(modifierNormalColour);
    }
    modSelected = 0;
    updateEntryViews();
}

void CodeTableEditor::resetTable() {
    for (int n = 1; n <= entryCount(); ++n) {
        Entry& e = entries[static_cast<size_t>(n - 1)];
        setKeyFace(n, keycolour::Red);
        keyButtons[static_cast<size_t>(n - 1)]->setText(e.keyTextAtOpening);
        e.code = e.codeAtOpening;
        e.modifier = e.modifierAtOpening;
        KeyButton* m = modifierButtons[static_cast<size_t>(n - 1)];
        m->setFace(modifierNormalColour);
        m->setText(e.modifierTextAtOpening);
    }
    keySelected = 0;
    modSelected = 0;
    updateEntryViews();
}

uint8_t CodeTableEditor::modifierByte(const Entry& e) const {
    if (e.modifier >= 0 && e.modifier < static_cast<int>(ModifierList.size()))
        return ModifierCodeFromIndex(e.modifier);
    // Only the opening value can lie outside the list.
    return e.modifierByteAtOpening;
}

std::vector<uint8_t> CodeTableEditor::TableBytes() const {
    std::array<uint8_t, 64> buffer{};
    for (int n = 1; n <= entryCount(); ++n) {
        const Entry& e = entries[static_cast<size_t>(n - 1)];
        buffer[static_cast<size_t>(2 * (n - 1))] = modifierByte(e);
        buffer[static_cast<size_t>(2 * n - 1)] = static_cast<uint8_t>(e.code & 0xFF);
    }
    return {buffer.begin(), buffer.begin() + design_.sendSize};
}

void CodeTableEditor::applyTable() {
    // Refused, nothing sent and the editor left open, while another change
    // holds the keypad.
    ops::TableLoad load;
    if (const ops::Result planned = load.plan("orvex-config", TableBytes(), design_.keypadType);
        !planned.ok()) {
        showWarning(planned.text);
        return;
    }
    ops::Result sent;
    {
        KeypadSequence owned;
        sent = load.run();
    }
    if (!sent.ok()) {
        WarnCommandFailed("Unable to Load Table..", design_.failureCaption);
        return;
    }
    emit tableApplied();
    close();
}

void CodeTableEditor::closeWindow() {
    close();
}

} // namespace orvex
