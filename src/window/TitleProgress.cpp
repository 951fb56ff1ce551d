// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/TitleProgress.h"

#include <algorithm>
#include <cmath>

#include <QString>
#include <QWidget>

#include "runtime/ProgramTitle.h"

namespace tavmar::window {

namespace {

QString Title() {
    return QString::fromStdString(runtime::ProgramTitle());
}

/// `fraction` in whole percent, rounded down, from 0 to 99.
int WholePercent(double fraction) {
    if (!(fraction > 0.0)) { // NaN too
        return 0;
    }
    // A share of k of n bytes (n at most 2^32) that is no whole percent lies
    // at least 1 / n below the next one; one that is can come out of the
    // division a rounding error, far smaller, short of it: 116 blocks of
    // 2,097,152,000 bytes give 57.99999999999999.
    const double percent = std::floor(fraction * 100.0 + 1e-10);
    return static_cast<int>(std::min(percent, 99.0));
}

} // namespace

TitleProgress::TitleProgress(QWidget& window, runtime::ProgressDisplay& next)
    : window_(window), next_(next) {}

void TitleProgress::Show(double fraction) noexcept {
    const int percent = WholePercent(fraction);
    // The share first, so a narrow taskbar entry still shows it. Qt skips
    // a title that did not change, which most ticks of a long copy bring.
    window_.setWindowTitle(QString::number(percent) + QStringLiteral(" % \u2013 ") + Title());
    next_.Show(percent / 100.0);
}

void TitleProgress::Clear() noexcept {
    window_.setWindowTitle(Title());
    next_.Clear();
}

} // namespace tavmar::window
