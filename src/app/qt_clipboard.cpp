#include "app/qt_clipboard.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>
#include <string>

#include "platform/code_page.hpp"

namespace tarlowen {

Text QtClipboard::readText() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        return {};
    }
    QString text = clipboard->text(QClipboard::Clipboard);
    const qsizetype zero = text.indexOf(QChar(u'\0'));
    if (zero >= 0) {
        text.truncate(zero);
    }
    if (text.isEmpty()) {
        return {};
    }
    return encodeCodePage936(text.toStdU16String());
}

void QtClipboard::replaceWithEmptyText() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        return;
    }
    // A non-null empty string: the clipboard then offers the text formats with no bytes in them,
    // where clear() would give up ownership and leave nothing at all.
    clipboard->setText(QStringLiteral(""), QClipboard::Clipboard);
}

}  // namespace tarlowen
