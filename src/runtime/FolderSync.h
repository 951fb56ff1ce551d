// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace tavmar::runtime {

/// The folder that holds the last name of `path`: "." for a bare name.
std::string FolderOf(const std::string& path);

/// Forces the names in `folder` (a file created or renamed there) onto
/// stable storage with fsync(2): until then a power cut may lose a new name
/// even though the file's bytes were flushed. Returns 0 when that is done or
/// the folder's file system has nothing to sync, the errno otherwise.
int SyncFolder(const std::string& folder);

} // namespace tavmar::runtime
