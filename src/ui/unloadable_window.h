#pragma once

#include <QPointer>
#include <QWidget>

// A secondary window of the main window. Constructing it is loading it; its owner unloads it
// (destroys it) when it asks to be unloaded, so every opening starts from the designed state. The
// buttons that end the window ask through requestUnload(), and so does the close box, unless the
// window has asked already.
class UnloadableWindow : public QWidget {
    Q_OBJECT
public:
    explicit UnloadableWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

signals:
    void unloadRequested();

protected:
    void requestUnload();
    void closeEvent(QCloseEvent* event) override;

private:
    bool m_unloading = false;
};

namespace secondary_window {

// Unloads the window by destroying it: the owner forgets it at once, the toolkit deletes it once the
// handler that asked for it has returned.
template <class Window> void unload(QPointer<Window>& pointer)
{
    if (Window* window = pointer.data()) {
        pointer = nullptr;
        window->hide();
        window->deleteLater();
    }
}

// The window, loaded on first use with create(); it asks owner to unload it.
template <class Window, class Create> Window& loaded(QObject* owner, QPointer<Window>& pointer, Create create)
{
    if (!pointer) {
        pointer = create();
        QObject::connect(pointer.data(), &UnloadableWindow::unloadRequested, owner, [&pointer] { unload(pointer); });
    }
    return *pointer;
}

// Shows the window over the others.
void bringForward(QWidget& window);

} // namespace secondary_window
