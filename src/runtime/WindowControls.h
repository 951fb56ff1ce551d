// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace tavmar::runtime {

/// Control names, as the window gives them to its widgets.
namespace control {
inline constexpr std::string_view kInputFile = "txtInputFile";
inline constexpr std::string_view kInputFileStart = "txtInputFileStart";
inline constexpr std::string_view kInputFileStop = "txtInputFileStop";
inline constexpr std::string_view kOutputFile = "txtOutputFile";
inline constexpr std::string_view kOutputFileStart = "txtOutputFileStart";
inline constexpr std::string_view kStart = "cmdStart";
inline constexpr std::string_view kAbort = "cmdAbort";
inline constexpr std::string_view kExit = "cmdExit";
inline constexpr std::string_view kOperateTimer = "tmrOperate";
} // namespace control

/// The window's controls, reached by name. Text is UTF-8. Timers are
/// controls too: their enabled flag is set with SetEnabled. An unknown name
/// raises runtime::Failure.
class WindowControls {
  public:
    virtual ~WindowControls() = default;

    virtual bool IsEnabled(std::string_view control) const = 0;
    virtual void SetEnabled(std::string_view control, bool enabled) = 0;

    virtual std::string Text(std::string_view control) const = 0;
    virtual void SetText(std::string_view control, const std::string& text) = 0;

    /// Timer interval in milliseconds; 0 gives no ticks.
    virtual int Interval(std::string_view timer) const = 0;
    virtual void SetInterval(std::string_view timer, int milliseconds) = 0;
};

} // namespace tavmar::runtime
