#include "platform/qt/qt_pasteboard.h"

#include "platform/qt/qt_main_loop.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringList>

#include <algorithm>

namespace ferrolatch {

namespace {

const QString plainTextUtf8 = QStringLiteral("text/plain;charset=utf-8");
const QString plainText = QStringLiteral("text/plain");

// Clipboard data that keeps its text in a SecretBytes and hands out copies
// only when a paste asks for them; it is wiped when the clipboard drops it.
class SecretText final : public QMimeData {
public:
    explicit SecretText(SecretBytes text) : m_text(std::move(text)) {}

    QStringList formats() const override { return {plainTextUtf8, plainText}; }
    bool hasFormat(const QString& mimeType) const override { return formats().contains(mimeType); }
    const SecretBytes& text() const { return m_text; }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        (void)type;
        if (!hasFormat(mimeType))
            return {};
        return QByteArray(reinterpret_cast<const char*>(m_text.data()), static_cast<qsizetype>(m_text.size()));
    }

private:
    SecretBytes m_text;
};

QClipboard& clipboard()
{
    assertQtMainThread("the pasteboard");
    return *QGuiApplication::clipboard();
}

SecretBytes takeBytes(QByteArray& bytes)
{
    SecretBytes secret = SecretBytes::copyOf(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())));
    std::fill(bytes.begin(), bytes.end(), '\0');
    bytes.clear();
    return secret;
}

}

QtPasteboard::QtPasteboard() { assertQtMainThread("the pasteboard"); }

void QtPasteboard::clearContents() { clipboard().clear(QClipboard::Clipboard); }

bool QtPasteboard::setString(std::span<const std::uint8_t> utf8)
{
    QClipboard& board = clipboard();
    auto* data = new SecretText(SecretBytes::copyOf(utf8));
    board.setMimeData(data, QClipboard::Clipboard); // the clipboard owns it now
    // A clipboard that could not take ownership does not give our data back.
    return board.mimeData(QClipboard::Clipboard) == data;
}

std::optional<SecretBytes> QtPasteboard::readString()
{
    const QMimeData* data = clipboard().mimeData(QClipboard::Clipboard);
    if (!data)
        return std::nullopt;
    if (const auto* own = dynamic_cast<const SecretText*>(data))
        return own->text().clone();
    for (const QString& format : {plainTextUtf8, plainText}) {
        if (data->hasFormat(format)) {
            QByteArray bytes = data->data(format);
            return takeBytes(bytes);
        }
    }
    if (data->hasText()) {
        QByteArray bytes = data->text().toUtf8();
        return takeBytes(bytes);
    }
    return std::nullopt;
}

}
