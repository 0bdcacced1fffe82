// Linked into a copy of the tool next to its own main(): once the event loop runs, closes the
// window the way a user does. Exits with 3 instead if no window was showing by then.

#include <QApplication>
#include <QTimer>
#include <QWidget>

namespace {

void closeTheWindowSoon()
{
    QTimer::singleShot(300, qApp, [] {
        bool shown = false;
        for (QWidget *widget : QApplication::topLevelWidgets())
            shown = shown || (widget->inherits("MainWindow") && widget->isVisible());
        if (!shown) {
            QCoreApplication::exit(3);
            return;
        }
        QApplication::closeAllWindows();
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(closeTheWindowSoon)
