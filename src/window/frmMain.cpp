// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/frmMain.h"

#include <cstdio>
#include <exception>
#include <limits>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include "runtime/Failure.h"
#include "runtime/ProgramTitle.h"
#include "settings/RememberedFields.h"
#include "window/AccessKeyFilter.h"
#include "window/PathField.h"
#include "window/TwipScale.h"

// The icons live in a static library; this pulls its resource in.
static void InitWindowResources() {
    Q_INIT_RESOURCE(tavmar_velmora);
}

namespace tavmar::window {

namespace {

namespace control = runtime::control;

/// The longest text a position field has to show whole, and the width of the
/// narrowest position field in twips.
constexpr const char* kWidestPosition = "-2147483648";
constexpr int kPositionFieldTwips = 1215;

QString Name(std::string_view control) {
    return QString::fromUtf8(control.data(), static_cast<qsizetype>(control.size()));
}

/// A single-line field with no length limit and no validation. There are
/// no labels, so the description is its accessible name and tooltip.
template <typename Field = QLineEdit>
Field* MakeField(QWidget* frame, std::string_view name, const char* text, const char* description) {
    auto* field = new Field(QString::fromUtf8(text), frame);
    field->setObjectName(Name(name));
    field->setMaxLength(std::numeric_limits<int>::max());
    field->setAccessibleName(QString::fromUtf8(description));
    field->setToolTip(QString::fromUtf8(description));
    // A text that starts with a right-to-left letter would turn the field
    // right to left and show the folders of a path in reverse. This key is
    // the line edit's one way to fix its direction.
    QKeyEvent leftToRight(QEvent::KeyPress, Qt::Key_Direction_L, Qt::NoModifier);
    QCoreApplication::sendEvent(field, &leftToRight);
    return field;
}

/// Qt reports the access key of the frame as that of every field in it that
/// has no label; a hidden label with no access key, whose buddy `field` is,
/// leaves the field without one, as it is.
void WithoutAccessKey(QLineEdit* field) {
    auto* label = new QLabel(field->parentWidget());
    label->setAccessibleName(field->accessibleName());
    label->setBuddy(field);
    label->hide();
}

QPushButton* MakeButton(QWidget* window, std::string_view name, const char* caption) {
    auto* button = new QPushButton(QString::fromUtf8(caption), window);
    button->setObjectName(Name(name));
    return button;
}

QGroupBox* MakeFrame(QWidget* window, const char* name, const char* title) {
    auto* frame = new QGroupBox(QString::fromUtf8(title), window);
    frame->setObjectName(QString::fromUtf8(name));
    return frame;
}

} // namespace

frmMain::frmMain(runtime::FileTable& files, runtime::SettingsStore& store, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowCloseButtonHint),
      files_(files), store_(store), controls_(*this), messages_(*this),
      copy_(files, controls_, messages_, progress_) {
    BuildControls();
    Connect();
    Load();
}

void frmMain::BuildControls() {
    InitWindowResources();
    setObjectName(QStringLiteral("frmMain"));

    // Every size the package installs into the icon theme; the built-in
    // images where the theme has none (a program run from its build tree).
    QIcon builtIn;
    builtIn.addFile(QStringLiteral(":/icons/tavmar-velmora-16.png"), QSize(16, 16));
    builtIn.addFile(QStringLiteral(":/icons/tavmar-velmora-32.png"), QSize(32, 32));
    setWindowIcon(QIcon::fromTheme(Name(runtime::kDesktopEntryId), builtIn));

    fraInputFile_ = MakeFrame(this, "fraInputFile", "&Input File");
    txtInputFile_ = MakeField<PathField>(fraInputFile_, control::kInputFile, "", "Input file path");
    txtInputFileStart_ = MakeField(fraInputFile_, control::kInputFileStart, "1",
                                   "First byte to copy (1 = first byte of the file)");
    txtInputFileStop_ = MakeField(fraInputFile_, control::kInputFileStop, "0",
                                  "Last byte to copy (0 = to the end)");

    fraOutputFile_ = MakeFrame(this, "fraOutputFile", "&Output File");
    txtOutputFile_ =
        MakeField<PathField>(fraOutputFile_, control::kOutputFile, "", "Output file path");
    txtOutputFileStart_ = MakeField(fraOutputFile_, control::kOutputFileStart, "1",
                                    "Position in the output of the first byte written (1 = start)");

    for (QLineEdit* position : {txtInputFileStart_, txtInputFileStop_, txtOutputFileStart_}) {
        WithoutAccessKey(position);
    }

    cmdStart_ = MakeButton(this, control::kStart, "&Start");
    cmdAbort_ = MakeButton(this, control::kAbort, "A&bort");
    cmdExit_ = MakeButton(this, control::kExit, "E&xit");
    cmdStart_->setDefault(true);
    cmdAbort_->setEnabled(false);

    PlaceControls();
    resize(minimumSize());

    tmrOperate_ = new QTimer(this);
    tmrOperate_->setObjectName(Name(control::kOperateTimer));
    tmrOperate_->setInterval(0);

    setTabOrder(txtInputFile_, txtInputFileStart_);
    setTabOrder(txtInputFileStart_, txtInputFileStop_);
    setTabOrder(txtInputFileStop_, txtOutputFile_);
    setTabOrder(txtOutputFile_, txtOutputFileStart_);
    setTabOrder(txtOutputFileStart_, cmdStart_);
    setTabOrder(cmdStart_, cmdAbort_);
    setTabOrder(cmdAbort_, cmdExit_);

    // A group box's own access key returns to whichever of its fields had
    // focus last; ours always go to the frame's first field.
    fraInputFile_->installEventFilter(this);
    fraOutputFile_->installEventFilter(this);
    txtInputFile_->TakeDropsOn(*fraInputFile_);
    txtOutputFile_->TakeDropsOn(*fraOutputFile_);

    txtInputFile_->setFocus();
}

void frmMain::PlaceControls() {
    const TwipScale twips =
        TwipScale::For(*this, QString::fromUtf8(kWidestPosition), kPositionFieldTwips);
    // A sizable window whose controls stay where they are: there is no
    // layout, and the window cannot be made smaller than its controls need.
    setMinimumSize(twips.Size(4680, 2610));

    fraInputFile_->setGeometry(twips.Rect(120, 0, 4455, 975));
    txtInputFile_->setGeometry(twips.Rect(120, 240, 4215, 285));
    txtInputFileStart_->setGeometry(twips.Rect(120, 600, kPositionFieldTwips, 285));
    txtInputFileStop_->setGeometry(twips.Rect(3000, 600, 1335, 285));

    fraOutputFile_->setGeometry(twips.Rect(120, 1080, 4455, 975));
    txtOutputFile_->setGeometry(twips.Rect(120, 240, 4215, 285));
    txtOutputFileStart_->setGeometry(twips.Rect(120, 600, kPositionFieldTwips, 285));

    cmdStart_->setGeometry(twips.Rect(120, 2160, 1335, 375));
    cmdAbort_->setGeometry(twips.Rect(1560, 2160, 1455, 375));
    cmdExit_->setGeometry(twips.Rect(3120, 2160, 1455, 375));
}

void frmMain::Connect() {
    // A click acts only while its button is enabled, and none once the
    // window is closing: from then on nothing may open a file.
    auto onClick = [this](QPushButton* button, auto action) {
        connect(button, &QPushButton::clicked, this, [this, button, action] {
            if (button->isEnabled() && !unloaded_ && !closePending_) {
                action();
            }
        });
    };
    onClick(cmdStart_, [this] { copy_.StartOperation(); });
    onClick(cmdAbort_, [this] { copy_.AbortOperation(); });
    onClick(cmdExit_, [this] { close(); });

    new AccessKeyFilter(*this);
    connect(tmrOperate_, &QTimer::timeout, this, [this] { copy_.OperateTick(); });

    // Start and Abort hand the focus on to each other: the one that had it
    // is disabled, Qt moves the focus on to the next enabled control, and
    // the other one takes it when it is enabled. A move by the user, within
    // the window, cancels that; a message box in between does not.
    cmdStart_->installEventFilter(this);
    cmdAbort_->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        if (old == nullptr || now == nullptr || old->window() != this || now->window() != this) {
            return;
        }
        if (old == cmdStart_ || old == cmdAbort_) {
            focusToNextButton_ = !old->isEnabled();
        } else if (old->isEnabled()) {
            focusToNextButton_ = false;
        }
    });
}

void frmMain::Load() {
    setWindowTitle(QString::fromStdString(runtime::ProgramTitle()));
    settings::LoadFields(store_, controls_);
}

void frmMain::RequestClose() {
    messages_.DismissOpen();
    close();
}

void frmMain::reject() {
    close();
}

void frmMain::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Cancel)) {
        if (cmdAbort_->isEnabled()) {
            cmdAbort_->click();
        }
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmMain::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        // A window the user has not resized follows its new initial size.
        const bool initialSize = size() == minimumSize();
        PlaceControls();
        if (initialSize) {
            resize(minimumSize());
        }
    }
    QDialog::changeEvent(event);
}

void frmMain::closeEvent(QCloseEvent* event) {
    // A close asked for while a box is open waits for the box; RequestClose
    // dismisses the boxes before it closes, so it never waits here.
    if (messages_.IsOpen()) {
        closePending_ = true;
        messages_.WhenNoneOpen([this] {
            QMetaObject::invokeMethod(
                this, [this] { close(); }, Qt::QueuedConnection);
        });
        event->ignore();
        return;
    }
    Unload();
    event->accept();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::EnabledChange && focusToNextButton_ &&
        (watched == cmdStart_ || watched == cmdAbort_)) {
        auto* button = static_cast<QPushButton*>(watched);
        if (button->isEnabled()) {
            focusToNextButton_ = false;
            button->setFocus(Qt::OtherFocusReason);
        }
    }
    if (event->type() == QEvent::Shortcut) {
        if (watched == fraInputFile_) {
            txtInputFile_->setFocus(Qt::ShortcutFocusReason);
            return true;
        }
        if (watched == fraOutputFile_) {
            txtOutputFile_->setFocus(Qt::ShortcutFocusReason);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmMain::Unload() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;

    // Closing is no reason to report anything about the operation; only a
    // failing teardown shows its box.
    if (copy_.State().Operating) {
        copy_.State().Operating = false;
        copy_.TerminateOperation();
    }
    files_.CloseAll();
    try {
        settings::SaveFields(store_, controls_);
    } catch (const runtime::Failure& failure) {
        std::fprintf(stderr, "tavmar-velmora: could not save settings: %s\n",
                     failure.Description().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavmar-velmora: could not save settings: %s\n", error.what());
    }
    messages_.Retire();
}

} // namespace tavmar::window
