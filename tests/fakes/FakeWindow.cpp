// SPDX-License-Identifier: GPL-3.0-or-later
#include "fakes/FakeWindow.h"

#include "runtime/Failure.h"

namespace tavmar::fakes {

namespace control = runtime::control;

FakeControls::FakeControls() {
    controls_[std::string(control::kInputFile)] = {true, "", 0};
    controls_[std::string(control::kInputFileStart)] = {true, "1", 0};
    controls_[std::string(control::kInputFileStop)] = {true, "0", 0};
    controls_[std::string(control::kOutputFile)] = {true, "", 0};
    controls_[std::string(control::kOutputFileStart)] = {true, "1", 0};
    controls_[std::string(control::kStart)] = {true, "", 0};
    controls_[std::string(control::kAbort)] = {false, "", 0};
    controls_[std::string(control::kExit)] = {true, "", 0};
    controls_[std::string(control::kOperateTimer)] = {false, "", 0};
}

FakeControls::Control& FakeControls::Find(std::string_view name) {
    auto it = controls_.find(name);
    if (it == controls_.end()) {
        throw runtime::Failure(runtime::FailureCode::SystemError,
                               "No control named " + std::string(name));
    }
    return it->second;
}

const FakeControls::Control& FakeControls::Find(std::string_view name) const {
    return const_cast<FakeControls*>(this)->Find(name);
}

bool FakeControls::IsEnabled(std::string_view name) const {
    return Find(name).enabled;
}

void FakeControls::SetEnabled(std::string_view name, bool enabled) {
    if (beforeChange) {
        beforeChange(name);
    }
    Find(name).enabled = enabled;
    log.push_back(std::string(name) + (enabled ? "=on" : "=off"));
}

std::string FakeControls::Text(std::string_view name) const {
    return Find(name).text;
}

void FakeControls::SetText(std::string_view name, const std::string& text) {
    Find(name).text = text;
}

void FakeControls::SetFields(const std::string& input, const std::string& start,
                             const std::string& stop, const std::string& output,
                             const std::string& outputStart) {
    SetText(control::kInputFile, input);
    SetText(control::kInputFileStart, start);
    SetText(control::kInputFileStop, stop);
    SetText(control::kOutputFile, output);
    SetText(control::kOutputFileStart, outputStart);
}

int FakeControls::Interval(std::string_view name) const {
    return Find(name).interval;
}

void FakeControls::SetInterval(std::string_view name, int milliseconds) {
    if (beforeChange) {
        beforeChange(name);
    }
    Find(name).interval = milliseconds;
    log.push_back(std::string(name) + ".interval=" + std::to_string(milliseconds));
}

void FakeMessageBox::Show(const std::string& text, runtime::MessageIcon icon,
                          const std::string& caption, const std::string& informative) {
    shown.push_back({text, icon, caption, informative});
    if (whileShown) {
        whileShown(shown.back());
    }
}

} // namespace tavmar::fakes
