#pragma once

#include <QWidget>

namespace orvex {

// Borderless start-up picture that closes itself after 3000 ms.
class halden_splash_form : public QWidget {
    Q_OBJECT
public:
    explicit halden_splash_form(QWidget* parent = nullptr);
};

} // namespace orvex
