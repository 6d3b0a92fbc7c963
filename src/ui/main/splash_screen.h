#pragma once

#include <QWidget>

namespace orvex {

// Borderless start-up picture that closes itself after 3000 ms.
class SplashScreen : public QWidget {
    Q_OBJECT
public:
    explicit SplashScreen(QWidget* parent = nullptr);
};

} // namespace orvex
