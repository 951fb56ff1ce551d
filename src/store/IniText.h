// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/SettingsStore.h"

/// The text of a settings file in the INI format QSettings reads and writes,
/// so that files written by earlier releases (through QSettings), by this one
/// and by hand read the same: "[Section]" lines, "key=value" lines, names
/// %-escaped, values escaped and quoted the way QSettings does it. Nothing
/// here touches a file; the bytes come in and go out as strings.
namespace tavmar::store::ini {

/// The text stored under `key` in `section` of the file `bytes`, or nothing
/// when the key is absent or its value is not text (a point, a size, an
/// "@Variant(...)" of a type that is not text, "@Invalid()"). A value that
/// QSettings reads as a list (bare commas, written by hand) comes back as its
/// elements joined by ", ". Lines that cannot be made out are passed over;
/// when a key is there twice, the later one counts.
std::optional<std::string> Find(std::string_view bytes, const std::string& section,
                                const std::string& key);

/// `bytes` with every text of `entries` stored under its key in `section`.
/// `section` is written first, with `entries` in their order and then the
/// section's other keys as their lines stood; every other section follows
/// byte for byte as it was (a value that runs to the end of the file stays
/// last). Lines of `section` that cannot be made out are dropped, as
/// QSettings drops them.
std::string WithEntries(std::string_view bytes, const std::string& section,
                        const runtime::SettingsEntries& entries);

} // namespace tavmar::store::ini
