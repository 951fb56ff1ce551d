// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace tavmar::runtime {

/// "Tavmar Velmora " followed by major.minor.revision of the program's
/// version: the application title, the window caption and the start of every
/// message box caption.
std::string ProgramTitle();

/// The id of the program's desktop entry ("tavmar-velmora" for
/// tavmar-velmora.desktop): the Wayland app_id, and the name under which
/// the desktop's taskbar knows the program.
inline constexpr std::string_view kDesktopEntryId = TAVMAR_DESKTOP_ID;

} // namespace tavmar::runtime
