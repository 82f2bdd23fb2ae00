#include "platform/qt/qt_alert_dialog.h"

#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>

#include <algorithm>
#include <cmath>
#include <span>

namespace ferrolatch {

namespace {

// The Mac's light-appearance colours.
const QColor accentColor(0x00, 0x7A, 0xFF);
const QColor systemRed(0xFF, 0x3B, 0x30);
const QColor systemGreen(0x28, 0xCD, 0x41);
const QColor linkColor(0x00, 0x68, 0xDA);

constexpr int iconSize = 64;
constexpr int minimumTextWidth = 320;

int points(double value) { return static_cast<int>(std::lround(value)); }

QSize qtSize(const Size& size) { return {points(size.width), points(size.height)}; }

QString fromUtf8(std::span<const std::uint8_t> bytes)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// Zeroes the characters of a string where every widget sharing it keeps them.
// Qt copies text freely (layouts, undo, accessibility); this clears the copies
// we can reach, which is as far as Qt lets a secret be scrubbed.
void wipeShared(QString& text)
{
    if (!text.isEmpty()) {
        auto* characters = const_cast<QChar*>(text.constData());
        std::fill(characters, characters + text.size(), QChar());
    }
    text = QString();
}

void wipe(QByteArray& bytes)
{
    std::fill(bytes.begin(), bytes.end(), '\0');
    bytes.clear();
}

// Reads a line edit's text into a secret and leaves the edit empty.
SecretBytes takeSecret(QLineEdit& edit)
{
    QString typed = edit.text();
    QByteArray utf8 = typed.toUtf8();
    SecretBytes secret = SecretBytes::copyOf(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(utf8.constData()),
                                      static_cast<std::size_t>(utf8.size())));
    wipe(utf8);
    wipeShared(typed);
    edit.setText(QString()); // also drops the edit's undo history
    return secret;
}

QLabel* plainLabel(const QString& text, const QFont& font, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText); // alert texts are never markup
    label->setText(text);
    label->setFont(font);
    return label;
}

QFont systemFont(double pointSize, Font::Weight weight)
{
    return qtFont(Font {Font::Family::System, pointSize, weight});
}

// Button titles are shown as given; Qt would take "&" for a mnemonic.
QString buttonTitle(const std::string& title)
{
    return QString::fromStdString(title).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QPixmap cautionSign(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    double s = size;
    QPainterPath triangle;
    triangle.moveTo(s * 0.5, s * 0.06);
    triangle.lineTo(s * 0.97, s * 0.9);
    triangle.lineTo(s * 0.03, s * 0.9);
    triangle.closeSubpath();
    painter.setPen(QPen(QColor(0xD9, 0x9A, 0x00), s * 0.04, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(QColor(0xFF, 0xCC, 0x00));
    painter.drawPath(triangle);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1D, 0x1D, 0x1F));
    painter.drawRoundedRect(QRectF(s * 0.455, s * 0.3, s * 0.09, s * 0.36), s * 0.04, s * 0.04);
    painter.drawEllipse(QRectF(s * 0.45, s * 0.72, s * 0.1, s * 0.1));
    return pixmap;
}

QColor runColor(TextColor color, const QPalette& palette)
{
    switch (color) {
    case TextColor::Label: return palette.color(QPalette::Text);
    case TextColor::Link: return linkColor;
    case TextColor::SystemGreen: return systemGreen;
    }
    return palette.color(QPalette::Text);
}

}

QFont qtFont(const Font& font)
{
    QFont result = font.family == Font::Family::MonospacedSystem ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                                                                 : QApplication::font();
    result.setPixelSize(std::max(1, points(font.pointSize)));
    switch (font.weight) {
    case Font::Weight::Regular: result.setWeight(QFont::Normal); break;
    case Font::Weight::Medium: result.setWeight(QFont::Medium); break;
    case Font::Weight::Semibold: result.setWeight(QFont::DemiBold); break;
    case Font::Weight::Bold: result.setWeight(QFont::Bold); break;
    }
    return result;
}

QPoint qtTopLeft(Point macTopLeft, const QRect& primaryScreen)
{
    return {primaryScreen.x() + points(macTopLeft.x), primaryScreen.y() + primaryScreen.height() - points(macTopLeft.y)};
}

QIcon drawnApplicationIcon()
{
    constexpr int size = 128;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);

    QLinearGradient metal(0, 8, 0, 120);
    metal.setColorAt(0, QColor(0xF2, 0xF3, 0xF5));
    metal.setColorAt(0.5, QColor(0xC9, 0xCD, 0xD3));
    metal.setColorAt(1, QColor(0x9A, 0xA0, 0xA8));
    painter.setPen(QPen(QColor(0x74, 0x7A, 0x83), 2));
    painter.setBrush(metal);
    painter.drawRoundedRect(QRectF(8, 8, 112, 112), 26, 26);

    // The latch: a shackle over a lock body with a keyhole.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0x3A, 0x3F, 0x47), 9, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(42, 26, 44, 48), 0, 180 * 16);
    painter.drawLine(QPointF(42, 50), QPointF(42, 58));
    painter.drawLine(QPointF(86, 50), QPointF(86, 58));
    QLinearGradient body(0, 56, 0, 102);
    body.setColorAt(0, QColor(0x52, 0x58, 0x61));
    body.setColorAt(1, QColor(0x2B, 0x2F, 0x35));
    painter.setPen(Qt::NoPen);
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(32, 56, 64, 46), 9, 9);
    painter.setBrush(QColor(0xD5, 0xD9, 0xDE));
    painter.drawEllipse(QRectF(58, 68, 12, 12));
    painter.drawRect(QRectF(61.5, 76, 5, 14));
    painter.end();
    return QIcon(pixmap);
}

QPixmap alertIcon(const Alert& alert, const QIcon& applicationIcon)
{
    QIcon icon;
    if (!alert.iconPath.empty())
        icon = QIcon(QString::fromStdString(alert.iconPath));
    if (icon.isNull() || icon.availableSizes().isEmpty())
        icon = applicationIcon;
    if (alert.style != AlertStyle::Critical)
        return icon.pixmap(iconSize, iconSize);

    QPixmap pixmap = cautionSign(iconSize);
    QPainter painter(&pixmap);
    int badge = iconSize / 2;
    painter.drawPixmap(iconSize - badge, iconSize - badge, icon.pixmap(badge, badge));
    return pixmap;
}

AlertDialog::AlertDialog(const Alert& alert, const QIcon& applicationIcon)
{
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QString());
    // Recorded for the window server; X11 and Wayland have no way to keep a
    // window out of screenshots or screen sharing, so it is only a marker there.
    setProperty("excludedFromCapture", alert.excludedFromCapture);

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(20, 16, 20, 16);
    root->setSpacing(16);
    root->setSizeConstraint(QLayout::SetFixedSize); // alerts do not resize

    auto* icon = new QLabel(this);
    icon->setPixmap(alertIcon(alert, applicationIcon));
    icon->setFixedSize(iconSize, iconSize);
    root->addWidget(icon, 0, Qt::AlignTop);

    auto* column = new QVBoxLayout();
    column->setSpacing(8);
    root->addLayout(column);

    QWidget* accessory = alert.accessory ? makeAccessory(*alert.accessory) : nullptr;
    // The texts run as wide as the accessory, as on the Mac.
    int textWidth = minimumTextWidth;
    if (accessory)
        textWidth = std::max({textWidth, accessory->minimumWidth(), accessory->sizeHint().width()});

    auto addText = [&](const std::string& text, const QFont& font) {
        QLabel* label = plainLabel(QString::fromStdString(text), font, this);
        label->setWordWrap(true);
        label->setFixedWidth(textWidth);
        label->setMinimumHeight(label->heightForWidth(textWidth));
        column->addWidget(label);
    };
    addText(alert.messageText, systemFont(13, Font::Weight::Bold));
    if (!alert.informativeText.empty())
        addText(alert.informativeText, systemFont(11, Font::Weight::Regular));
    if (accessory) {
        column->addSpacing(4);
        column->addWidget(accessory, 0, Qt::AlignLeft);
    }
    column->addSpacing(12);
    addButtons(alert, *column);
}

AlertDialog::~AlertDialog() { wipeSecrets(); }

void AlertDialog::addButtons(const Alert& alert, QBoxLayout& column)
{
    for (const AlertButton& description : alert.buttons) {
        auto* button = new QPushButton(buttonTitle(description.title), this);
        button->setAutoDefault(false); // Return always means the first button, whatever has focus
        // Mac push buttons keep a margin around their title and are never narrower than 80 points.
        button->setMinimumWidth(std::max(80, button->sizeHint().width() + 16));
        long response = alertFirstButtonReturn + static_cast<long>(m_buttons.size());
        connect(button, &QPushButton::clicked, this, [this, response] { done(static_cast<int>(response)); });
        QPalette palette = button->palette();
        if (description.destructive)
            palette.setColor(QPalette::ButtonText, systemRed);
        else if (m_buttons.empty()) {
            palette.setColor(QPalette::Button, accentColor);
            palette.setColor(QPalette::ButtonText, Qt::white);
        }
        button->setPalette(palette);
        if (description.title == "Cancel" && !m_cancelButton)
            m_cancelButton = button;
        m_buttons.push_back(button);
    }
    if (!m_buttons.empty())
        m_buttons.front()->setDefault(true);

    auto* row = new QHBoxLayout();
    row->setSpacing(12);
    row->addStretch(1);
    for (auto button = m_buttons.rbegin(); button != m_buttons.rend(); ++button)
        row->addWidget(*button);
    column.addLayout(row);
}

QWidget* AlertDialog::makeAccessory(const Accessory& accessory)
{
    return std::visit([this](const auto& control) { return makeControl(control); }, accessory);
}

QWidget* AlertDialog::makeControl(const TextField& field)
{
    auto* edit = new QLineEdit(this);
    edit->setText(QString::fromStdString(field.text));
    edit->setPlaceholderText(QString::fromStdString(field.placeholder));
    edit->setFixedSize(qtSize(field.size));
    if (field.initialFirstResponder && !m_firstResponder)
        m_firstResponder = edit;
    m_textFields.push_back(edit);
    return edit;
}

QWidget* AlertDialog::makeControl(const SecureTextField& field)
{
    auto* edit = new QLineEdit(this);
    edit->setEchoMode(QLineEdit::Password);
    edit->setFixedSize(qtSize(field.size));
    if (field.initialFirstResponder && !m_firstResponder)
        m_firstResponder = edit;
    m_secureFields.push_back(edit);
    return edit;
}

QWidget* AlertDialog::makeControl(const PopUpButton& popUp)
{
    auto* combo = new QComboBox(this);
    for (const std::string& item : popUp.items)
        combo->addItem(QString::fromStdString(item));
    if (popUp.selectedIndex < popUp.items.size())
        combo->setCurrentIndex(static_cast<int>(popUp.selectedIndex));
    combo->setFixedSize(qtSize(popUp.size));
    m_popUps.push_back(combo);
    return combo;
}

QWidget* AlertDialog::makeControl(const WrappingLabel& wrapping)
{
    // Not selectable: a selectable label keeps a second copy of its text in a
    // text document, and this text may be a recovery key.
    m_secretTexts.push_back(fromUtf8(wrapping.text.bytes()));
    QLabel* label = plainLabel(m_secretTexts.back(), qtFont(wrapping.font), this);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QSize size = qtSize(wrapping.size);
    // The frame is fixed, as on the Mac; a line limit only shortens it.
    if (wrapping.maximumNumberOfLines > 0)
        size.setHeight(std::min(size.height(), wrapping.maximumNumberOfLines * label->fontMetrics().lineSpacing()));
    label->setFixedSize(size);
    return label;
}

QWidget* AlertDialog::makeControl(const ScrollingRichText& rich)
{
    auto* browser = new QTextBrowser(this);
    browser->setReadOnly(true);
    browser->setOpenExternalLinks(true);
    browser->setFrameShape(QFrame::StyledPanel);
    browser->setFrameShadow(QFrame::Sunken);
    browser->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    browser->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    browser->setLineWrapMode(QTextEdit::FixedPixelWidth);
    browser->setLineWrapColumnOrWidth(points(rich.textContainerWidth));
    browser->setFixedSize(qtSize(rich.size));
    browser->document()->setDocumentMargin(rich.inset.width);
    QFont base = qtFont(rich.baseFont);
    browser->document()->setDefaultFont(base);

    // Runs go in through a cursor, so their text is never read as markup.
    QTextCursor cursor(browser->document());
    for (const TextRun& run : rich.runs) {
        QTextCharFormat format;
        format.setFont(run.font ? qtFont(*run.font) : base);
        format.setForeground(runColor(run.color, browser->palette()));
        format.setFontUnderline(run.underlined);
        if (!run.link.empty()) {
            format.setAnchor(true);
            format.setAnchorHref(QString::fromStdString(run.link));
        }
        cursor.insertText(QString::fromStdString(run.text), format);
    }
    browser->moveCursor(QTextCursor::Start);
    return browser;
}

QWidget* AlertDialog::makeControl(const Grid& grid)
{
    auto* container = new QWidget(this);
    auto* layout = new QGridLayout(container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setVerticalSpacing(points(grid.rowSpacing));
    layout->setHorizontalSpacing(points(grid.columnSpacing));
    int row = 0;
    for (const GridRow& gridRow : grid.rows) {
        QLabel* label = plainLabel(QString::fromStdString(gridRow.label), QApplication::font(), container);
        layout->addWidget(label, row, 0, Qt::AlignRight | Qt::AlignVCenter);
        QWidget* control = std::visit([this](const auto& c) { return makeControl(c); }, gridRow.control);
        control->setParent(container);
        layout->addWidget(control, row, 1, Qt::AlignLeft | Qt::AlignVCenter);
        ++row;
    }
    layout->setColumnStretch(1, 1);
    QSize size = qtSize(grid.size);
    container->setFixedWidth(size.width());
    container->setMinimumHeight(size.height());
    return container;
}

void AlertDialog::writeBack(Alert& alert)
{
    if (!alert.accessory)
        return;
    std::size_t textIndex = 0;
    std::size_t secureIndex = 0;
    std::size_t popUpIndex = 0;
    auto store = [&](auto& control, auto& self) -> void {
        using Control = std::decay_t<decltype(control)>;
        if constexpr (std::is_same_v<Control, TextField>) {
            control.text = m_textFields.at(textIndex++)->text().toStdString();
        } else if constexpr (std::is_same_v<Control, SecureTextField>) {
            control.text = takeSecret(*m_secureFields.at(secureIndex++));
        } else if constexpr (std::is_same_v<Control, PopUpButton>) {
            int index = m_popUps.at(popUpIndex++)->currentIndex();
            if (index >= 0)
                control.selectedIndex = static_cast<std::size_t>(index);
        } else if constexpr (std::is_same_v<Control, Grid>) {
            for (GridRow& row : control.rows)
                std::visit([&](auto& inner) { self(inner, self); }, row.control);
        }
    };
    std::visit([&](auto& control) { store(control, store); }, *alert.accessory);
}

void AlertDialog::wipeSecrets()
{
    for (QLineEdit* edit : m_secureFields) {
        if (!edit->text().isEmpty())
            (void)takeSecret(*edit);
    }
    for (QString& text : m_secretTexts)
        wipeShared(text);
}

void AlertDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        // Escape means "Cancel" when the alert has one; otherwise nothing.
        if (m_cancelButton)
            m_cancelButton->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void AlertDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // An alert takes the keyboard when it appears.
    raise();
    activateWindow();
    if (m_firstResponder)
        m_firstResponder->setFocus(Qt::OtherFocusReason);
    else if (!m_buttons.empty())
        m_buttons.front()->setFocus(Qt::OtherFocusReason);
}

void AlertDialog::reject() { done(static_cast<int>(alertAbortedResponse)); }

}
