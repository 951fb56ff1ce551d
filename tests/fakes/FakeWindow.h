// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/MessageBox.h"
#include "runtime/ProgressDisplay.h"
#include "runtime/WindowControls.h"

namespace tavmar::fakes {

/// The window's controls without a window: the nine named controls in their
/// initial states, and a log of every change in order.
class FakeControls : public runtime::WindowControls {
  public:
    FakeControls();

    /// "name=on", "name=off", "name.interval=N" for every change, in order.
    std::vector<std::string> log;

    /// Called before every change with the control's name; a test injects a
    /// failure by throwing runtime::Failure from it.
    std::function<void(std::string_view control)> beforeChange;

    bool IsEnabled(std::string_view name) const override;
    void SetEnabled(std::string_view name, bool enabled) override;
    std::string Text(std::string_view name) const override;
    void SetText(std::string_view name, const std::string& text) override;
    int Interval(std::string_view name) const override;
    void SetInterval(std::string_view name, int milliseconds) override;

    /// Types the five fields of a copy: input file, its start and stop,
    /// output file and its start.
    void SetFields(const std::string& input, const std::string& start, const std::string& stop,
                   const std::string& output, const std::string& outputStart);

  private:
    struct Control {
        bool enabled = true;
        std::string text;
        int interval = 0;
    };
    Control& Find(std::string_view name);
    const Control& Find(std::string_view name) const;

    std::map<std::string, Control, std::less<>> controls_;
};

/// One message as it was shown.
struct ShownMessage {
    std::string text;
    runtime::MessageIcon icon;
    std::string caption;
    std::string informative;
};

/// Records every message; `whileShown` runs while a box is "open", where
/// the real box lets pending timer ticks through.
class FakeMessageBox : public runtime::MessageBox {
  public:
    std::vector<ShownMessage> shown;
    std::function<void(const ShownMessage&)> whileShown;

    void Show(const std::string& text, runtime::MessageIcon icon, const std::string& caption,
              const std::string& informative) override;
};

/// Records every call in order: the fraction for Show, nullopt for Clear.
struct FakeProgressDisplay : runtime::ProgressDisplay {
    std::vector<std::optional<double>> calls;

    void Show(double fraction) noexcept override { calls.emplace_back(fraction); }
    void Clear() noexcept override { calls.emplace_back(std::nullopt); }
};

} // namespace tavmar::fakes
