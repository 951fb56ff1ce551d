// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QSize>
#include <QString>

class QWidget;

namespace tavmar::window {

/// Converts the window's twips to logical pixels for the window's font, the
/// way dialog units follow the system font: 15 twips make a pixel at the
/// reference font (Qt's default on a plain X server, DejaVu Sans 9 pt, 14
/// pixels high), and a taller font gives proportionally more pixels. Qt's
/// own scaling (QT_SCALE_FACTOR, the screen's DPI) stays Qt's: fonts are
/// measured in logical pixels, so it is not applied twice.
class TwipScale {
  public:
    /// The reference scale: 15 twips to a pixel, across and down.
    TwipScale() = default;

    /// The scale for `window`'s font and style. Down, the font's height over
    /// the reference's; across, the same or more, so that a text field
    /// `fieldTwips` wide shows `widest` whole with the cursor after it. A
    /// font no taller than the reference gets the reference scale: the
    /// layout never shrinks, and the reference layout is kept as it is.
    static TwipScale For(const QWidget& window, const QString& widest, int fieldTwips);

    /// A rectangle given in twips. Its edges are converted, not its width
    /// and height, so controls that share an edge in twips share it in
    /// pixels.
    QRect Rect(int left, int top, int width, int height) const;

    /// A size given in twips, as a rectangle at the origin.
    QSize Size(int width, int height) const;

  private:
    TwipScale(double across, double down) : across_(across), down_(down) {}

    /// Pixels for 15 twips, across and down.
    double across_ = 1.0;
    double down_ = 1.0;
};

} // namespace tavmar::window
