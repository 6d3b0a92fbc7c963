#include "ui/common/wheel_guard.h"

#include <QComboBox>
#include <QEvent>

namespace orvex::ui {

namespace {

class FocusedWheelOnly : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Wheel) {
            auto* list = static_cast<QWidget*>(watched);
            if (!list->hasFocus()) {
                // Not taken here: Qt offers it to the parents.
                event->ignore();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void TakeWheelOnlyWithFocus(QComboBox* list) {
    // A combo box's default policy lets the wheel give it the focus first.
    list->setFocusPolicy(Qt::StrongFocus);
    list->installEventFilter(new FocusedWheelOnly(list));
}

} // namespace orvex::ui
