// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace tavmar::window {

/// Whether `text` holds a character that a line edit cannot show as it is:
/// a control character (a line break shows as a blank) or a direction
/// control (U+202E turns "nib.exe" into "exe.bin" on screen).
bool HasHiddenCharacters(const QString& text);

/// `text` as a label shows it as it is: left to right in the order of its
/// characters (a name's own letters keep their direction, but no name
/// moves), control characters as their pictures (a line break as "␊"),
/// direction controls by their code ("<U+202E>"), breakable at any
/// character; at most `limit` of its characters, the middle of a longer one
/// left out ("…").
QString VisibleText(const QString& text, qsizetype limit);

} // namespace tavmar::window
