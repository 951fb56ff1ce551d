// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace tavmar::runtime {

enum class MessageIcon { Exclamation, Information };

/// A modal message box with one OK button; Show returns when it is dismissed.
class MessageBox {
  public:
    virtual ~MessageBox() = default;
    /// Shows `text` and, under it when not empty, `informative`: the cause
    /// in plain words, which a screen reader reads as the box's description.
    virtual void Show(const std::string& text, MessageIcon icon, const std::string& caption,
                      const std::string& informative = {}) = 0;
};

} // namespace tavmar::runtime
