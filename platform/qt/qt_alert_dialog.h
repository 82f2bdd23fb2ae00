#pragma once

#include "platform/ui.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstddef>
#include <vector>

class QBoxLayout;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace ferrolatch {

// Mac fonts are sized in points that are logical pixels; Qt's points are not.
QFont qtFont(const Font& font);

// A Mac screen point (origin at the bottom left of the main screen, y upwards)
// as a Qt global position (origin at the top left, y downwards).
QPoint qtTopLeft(Point macTopLeft, const QRect& primaryScreen);

// The picture at the alert's left: the given image or the application's icon;
// a critical alert shows the caution sign with the application badged on it.
QPixmap alertIcon(const Alert& alert, const QIcon& applicationIcon);

// Drawn when the application has no icon of its own: a metal tile with a latch.
QIcon drawnApplicationIcon();

// A modal alert laid out like a Mac alert: the icon at the left; beside it the
// bold message, the informative text, the accessory; the buttons along the
// bottom, right to left, the first being the default (Return) button.
class AlertDialog final : public QDialog {
public:
    AlertDialog(const Alert& alert, const QIcon& applicationIcon);
    ~AlertDialog() override;
    AlertDialog(const AlertDialog&) = delete;
    AlertDialog& operator=(const AlertDialog&) = delete;

    // Copies what the user left in the accessory back into it. Secure fields
    // go into their SecretBytes and are emptied here.
    void writeBack(Alert& alert);

    QPushButton* button(std::size_t index) const { return m_buttons.at(index); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // Closing the window without a button is a dismissal.
    void reject() override;

private:
    QWidget* makeAccessory(const Accessory& accessory);
    QWidget* makeControl(const TextField& field);
    QWidget* makeControl(const SecureTextField& field);
    QWidget* makeControl(const PopUpButton& popUp);
    QWidget* makeControl(const WrappingLabel& label);
    QWidget* makeControl(const ScrollingRichText& rich);
    QWidget* makeControl(const Grid& grid);
    void addButtons(const Alert& alert, QBoxLayout& column);
    void wipeSecrets();

    std::vector<QPushButton*> m_buttons;
    QPushButton* m_cancelButton = nullptr;
    QWidget* m_firstResponder = nullptr;
    // The accessory's editable controls, in the order the accessory lists them.
    std::vector<QLineEdit*> m_textFields;
    std::vector<QLineEdit*> m_secureFields;
    std::vector<QComboBox*> m_popUps;
    std::vector<QString> m_secretTexts; // shared with the labels showing them
};

}
