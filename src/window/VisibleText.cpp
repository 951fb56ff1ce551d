// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/VisibleText.h"

#include <algorithm>

namespace tavmar::window {

namespace {

bool IsControl(char16_t c) {
    return c < 0x20 || c == 0x7F;
}

bool IsDirectionControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

bool HasHiddenCharacters(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return IsControl(c.unicode()) || IsDirectionControl(c.unicode());
    });
}

QString VisibleText(const QString& text, qsizetype limit) {
    const QString shown =
        text.size() <= limit ? text : text.left(limit / 2) + u'…' + text.right(limit / 2);
    constexpr char16_t kLeftToRightMark = 0x200E;
    constexpr char16_t kZeroWidthSpace = 0x200B;
    QString display(1, QChar(kLeftToRightMark));
    for (const QChar c : shown) {
        if (IsControl(c.unicode())) {
            display += QChar(c.unicode() == 0x7F ? 0x2421 : 0x2400 + c.unicode());
        } else if (IsDirectionControl(c.unicode())) {
            display += QStringLiteral("<U+%1>").arg(c.unicode(), 4, 16, QChar(u'0')).toUpper();
        } else {
            display += c;
        }
        // A "/" next to the mark belongs to no name, so the names keep their
        // order; the space lets a long path wrap anywhere.
        display += c == u'/' ? kLeftToRightMark : kZeroWidthSpace;
    }
    return display;
}

} // namespace tavmar::window
