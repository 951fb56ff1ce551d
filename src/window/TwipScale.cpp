// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/TwipScale.h"

#include <algorithm>
#include <cmath>

#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QWidget>

namespace tavmar::window {

namespace {

constexpr int kTwipsPerPixel = 15;

/// QFontMetrics::height() of the reference font, measured on Xvfb and on the
/// offscreen platform alike.
constexpr int kReferenceFontHeight = 14;

/// QLineEdit keeps this many pixels between its frame and its text, either side.
constexpr int kLineEditTextMargin = 2;

/// Pixels a field of `window`'s style needs around its text: the frame, the
/// line edit's margins and the cursor after the last character.
int FieldOverhead(const QWidget& window) {
    const QStyle& style = *window.style();
    QStyleOptionFrame frame;
    frame.initFrom(&window);
    frame.rect = QRect(0, 0, 100, 100);
    frame.lineWidth = style.pixelMetric(QStyle::PM_DefaultFrameWidth, &frame);
    const int contents = style.subElementRect(QStyle::SE_LineEditContents, &frame).width();
    return frame.rect.width() - contents + 2 * kLineEditTextMargin +
           style.pixelMetric(QStyle::PM_TextCursorWidth, &frame);
}

} // namespace

TwipScale TwipScale::For(const QWidget& window, const QString& widest, int fieldTwips) {
    const QFontMetrics metrics(window.font());
    if (metrics.height() <= kReferenceFontHeight) {
        return {};
    }
    const double down = static_cast<double>(metrics.height()) / kReferenceFontHeight;
    // A font taller than the reference is usually wider still, and even the
    // reference font does not fit every position in its field; the field
    // grows to what the text needs, plus a pixel lost to rounding its edges.
    const int needed = metrics.horizontalAdvance(widest) + FieldOverhead(window) + 1;
    const double fits = static_cast<double>(needed) * kTwipsPerPixel / fieldTwips;
    return {std::max(down, fits), down};
}

QRect TwipScale::Rect(int left, int top, int width, int height) const {
    auto across = [this](int twips) {
        return static_cast<int>(std::lround(twips * across_ / kTwipsPerPixel));
    };
    auto down = [this](int twips) {
        return static_cast<int>(std::lround(twips * down_ / kTwipsPerPixel));
    };
    const int x = across(left);
    const int y = down(top);
    return {x, y, across(left + width) - x, down(top + height) - y};
}

QSize TwipScale::Size(int width, int height) const {
    return Rect(0, 0, width, height).size();
}

} // namespace tavmar::window
