#pragma once

#include <QWidget>

#include <initializer_list>

namespace stampo {

class ZUMButton;
class ZUMContainerView;

// Base of the form windows' view controllers (AttendView, AuthView, ProxyView, SettingView): owns the form's
// container, builds it once, and is told each time its window appears.
class ViewController : public QWidget {
    Q_OBJECT
public:
    ZUMContainerView* container() const { return m_container; }

    // Creates the container (the form's size) and builds the form; FormWindow calls them once, in this order.
    virtual void loadView() = 0;
    virtual void viewDidLoad() = 0;
    virtual void viewDidAppear() {}
    // What a button of the form does when pressed.
    virtual void buttonAction(ZUMButton* sender) = 0;

protected:
    explicit ViewController(QWidget* parent = nullptr);
    // Makes the container with the form's width; its height is set when the form is built.
    ZUMContainerView* makeContainer(int width);
    // Closes the window the view is in.
    void closeWindow();
    // A text or password input with its caption to the left, both named after the settings key the input edits.
    struct Field {
        const char* key;
        const char* caption;
        qreal captionX, inputX, width;
        bool password = false;
    };
    // Adds a row `height` high at `top` holding `fields`, and moves `top` below it.
    void addFieldRow(qreal& top, qreal height, std::initializer_list<Field> fields);
    // The settings forms' last row: the main button "ok", titled `okTitle`, and "Cancel".
    void addOkAndCancel(QWidget* row, const QString& okTitle);
    // Ends the form `height` high; every one of its buttons runs buttonAction.
    void finishForm(qreal height);

private:
    ZUMContainerView* m_container = nullptr;
};

// A top-level window around one view controller: fixed to the form's size, above ordinary windows. Enter runs the
// form's "ok" button (or the button that has the focus), Escape closes the window.
class FormWindow final : public QWidget {
    Q_OBJECT
public:
    // Takes `controller` as its child. With `deleteOnClose` the window frees itself when closed. A window with a
    // `parent` is its transient: the window manager keeps it above the parent.
    FormWindow(ViewController* controller, const QString& title, bool deleteOnClose, QWidget* parent = nullptr);

    ViewController* controller() const { return m_controller; }
    // Centres the window on its screen, shows it, raises and activates it, lets the form appear (also when the
    // window was on screen already, so that it shows what is current) and puts the focus in its first input.
    void present();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void focusFirstInput();

    ViewController* m_controller;
};

} // namespace stampo
