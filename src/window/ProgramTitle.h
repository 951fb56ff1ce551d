#pragma once

#include <string>

namespace tavmar::window {

/// "Tavmar Velmora " followed by major.minor.revision of the program's
/// version: the application title, the window caption and the start of every
/// message box caption.
std::string ProgramTitle();

} // namespace tavmar::window
