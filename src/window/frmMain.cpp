#include "window/frmMain.h"

#include <cstdio>
#include <exception>
#include <limits>

#include <QCloseEvent>
#include <QEvent>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QTimer>

#include "runtime/Failure.h"
#include "settings/RememberedFields.h"
#include "window/ProgramTitle.h"

// The icons live in a static library; this pulls its resource in.
static void InitWindowResources() {
    Q_INIT_RESOURCE(tavmar_velmora);
}

namespace tavmar::window {

namespace {

namespace control = runtime::control;

/// Positions and sizes are laid down in twips, 15 to a logical pixel.
constexpr int kTwipsPerPixel = 15;

QRect Twips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

QString Name(std::string_view control) {
    return QString::fromUtf8(control.data(), static_cast<qsizetype>(control.size()));
}

/// A single-line field with no length limit and no validation. There are
/// no labels, so the description is its accessible name and tooltip.
QLineEdit* MakeField(QWidget* frame, std::string_view name, const char* text, const QRect& where,
                     const char* description) {
    auto* field = new QLineEdit(QString::fromUtf8(text), frame);
    field->setObjectName(Name(name));
    field->setGeometry(where);
    field->setMaxLength(std::numeric_limits<int>::max());
    field->setAccessibleName(QString::fromUtf8(description));
    field->setToolTip(QString::fromUtf8(description));
    return field;
}

QPushButton* MakeButton(QWidget* window, std::string_view name, const char* caption,
                        const QRect& where) {
    auto* button = new QPushButton(QString::fromUtf8(caption), window);
    button->setObjectName(Name(name));
    button->setGeometry(where);
    return button;
}

QGroupBox* MakeFrame(QWidget* window, const char* name, const char* title, const QRect& where) {
    auto* frame = new QGroupBox(QString::fromUtf8(title), window);
    frame->setObjectName(QString::fromUtf8(name));
    frame->setGeometry(where);
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
    // A sizable window whose controls stay where they are: there is no layout.
    resize(Twips(0, 0, 4680, 2610).size());

    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/tavmar-velmora-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/tavmar-velmora-32.png"), QSize(32, 32));
    setWindowIcon(icon);

    fraInputFile_ = MakeFrame(this, "fraInputFile", "&Input File", Twips(120, 0, 4455, 975));
    txtInputFile_ = MakeField(fraInputFile_, control::kInputFile, "", Twips(120, 240, 4215, 285),
                              "Input file path");
    txtInputFileStart_ =
        MakeField(fraInputFile_, control::kInputFileStart, "1", Twips(120, 600, 1215, 285),
                  "First byte to copy (1 = first byte of the file)");
    txtInputFileStop_ =
        MakeField(fraInputFile_, control::kInputFileStop, "0", Twips(3000, 600, 1335, 285),
                  "Last byte to copy (0 = to the end)");

    fraOutputFile_ = MakeFrame(this, "fraOutputFile", "&Output File", Twips(120, 1080, 4455, 975));
    txtOutputFile_ = MakeField(fraOutputFile_, control::kOutputFile, "", Twips(120, 240, 4215, 285),
                               "Output file path");
    txtOutputFileStart_ =
        MakeField(fraOutputFile_, control::kOutputFileStart, "1", Twips(120, 600, 1215, 285),
                  "Position in the output of the first byte written (1 = start)");

    cmdStart_ = MakeButton(this, control::kStart, "&Start", Twips(120, 2160, 1335, 375));
    cmdAbort_ = MakeButton(this, control::kAbort, "A&bort", Twips(1560, 2160, 1455, 375));
    cmdExit_ = MakeButton(this, control::kExit, "E&xit", Twips(3120, 2160, 1455, 375));
    cmdStart_->setDefault(true);
    cmdAbort_->setEnabled(false);

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

    txtInputFile_->setFocus();
}

void frmMain::Connect() {
    connect(cmdStart_, &QPushButton::clicked, this, [this] { copy_.StartOperation(); });
    connect(cmdAbort_, &QPushButton::clicked, this, [this] { copy_.AbortOperation(); });
    connect(cmdExit_, &QPushButton::clicked, this, &frmMain::close);
    connect(tmrOperate_, &QTimer::timeout, this, [this] { copy_.OperateTick(); });
}

void frmMain::Load() {
    setWindowTitle(QString::fromStdString(ProgramTitle()));
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

void frmMain::closeEvent(QCloseEvent* event) {
    Unload();
    event->accept();
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
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
