// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace tavmar::runtime {

enum class MessageIcon { Exclamation, Information };

/// A modal message box with one OK button; Show returns when it is dismissed.
class MessageBox {
  public:
    virtual ~MessageBox() = default;
    virtual void Show(const std::string& text, MessageIcon icon, const std::string& caption) = 0;
};

} // namespace tavmar::runtime
