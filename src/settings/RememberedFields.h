// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "runtime/SettingsStore.h"
#include "runtime/WindowControls.h"

namespace tavmar::settings {

/// Application name under which the fields are stored.
inline constexpr const char* kApplicationName = "Tavmar Velmora";

/// "V" + major + "." + minor of the program's version: each major.minor
/// version keeps its own fields.
std::string VersionSection();

/// Fills the five text fields from the store, all from one read; defaults
/// for absent keys.
void LoadFields(runtime::SettingsStore& store, runtime::WindowControls& controls);

/// Writes the five text fields to the store as they stand, all in one save:
/// when it raises, none of them was stored.
void SaveFields(runtime::SettingsStore& store, const runtime::WindowControls& controls);

} // namespace tavmar::settings
