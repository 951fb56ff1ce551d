// SPDX-License-Identifier: GPL-3.0-or-later
#include "runtime/QtSettingsStore.h"

#include <cstdlib>
#include <utility>

#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "runtime/Failure.h"

namespace tavmar::runtime {

namespace {

/// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
std::string UserConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    return (QDir::homePath() + QStringLiteral("/.config")).toStdString();
}

QString ToQt(const std::string& text) {
    return QString::fromStdString(text);
}

QString SettingsKey(const std::string& section, const std::string& key) {
    return ToQt(section) + QLatin1Char('/') + ToQt(key);
}

/// Which file a path names right now; a rename over it gives a new inode.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const FileIdentity&) const = default;
};

FileIdentity IdentityOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return {};
    }
    return {true, info.st_dev, info.st_ino};
}

/// A save holds the lock for milliseconds; a lock file older than this was
/// left by a writer that died (killed before it could even write its process
/// id into the file, it would otherwise block saves for Qt's 30 seconds).
constexpr std::chrono::milliseconds kStaleLockAge{1000};

/// QSettings waits for its lock file without a time limit. Taking and
/// dropping the same lock first, with a limit, clears a stale lock and turns
/// one that never comes free (a folder in the lock's place) into a failure
/// instead of a hang. Returns why it could not, or "" on success.
std::string WaitForOtherWriters(const QString& settingsFile, std::chrono::milliseconds wait) {
    QLockFile lock(settingsFile + QStringLiteral(".lock"));
    lock.setStaleLockTime(kStaleLockAge);
    if (lock.tryLock(wait)) {
        lock.unlock();
        return {};
    }
    if (lock.error() == QLockFile::LockFailedError) {
        return "it stayed locked by another writer";
    }
    return "its lock file cannot be created";
}

} // namespace

QtSettingsStore::QtSettingsStore()
    : configFolder_(UserConfigFolder()), lockWait_(kDefaultLockWait) {}

QtSettingsStore::QtSettingsStore(std::string filePath, std::chrono::milliseconds lockWait)
    : filePath_(std::move(filePath)), lockWait_(lockWait) {}

std::string QtSettingsStore::FileFor(const std::string& application) const {
    if (!filePath_.empty()) {
        return filePath_;
    }
    return configFolder_ + "/" + application + "/" + application + ".ini";
}

std::string QtSettingsStore::Get(const std::string& application, const std::string& section,
                                 const std::string& key, const std::string& defaultValue) {
    // A damaged file still gives every entry Qt can make out of it; the rest
    // are absent. Dropping the whole file instead would not help: Qt writes
    // back what it made out, so the fields would never be read again.
    QSettings settings(ToQt(FileFor(application)), QSettings::IniFormat);
    const QString settingsKey = SettingsKey(section, key);
    if (!settings.contains(settingsKey)) {
        return defaultValue;
    }
    const QVariant value = settings.value(settingsKey);
    // We always write quoted text; a hand-edited value with bare commas is
    // read by QSettings as a list, which is put back together here.
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(QStringLiteral(", ")).toStdString();
    }
    if (!value.isValid() || !value.canConvert<QString>()) {
        return defaultValue; // a value that is not text, as "@Variant(...)"
    }
    return value.toString().toStdString();
}

void QtSettingsStore::Save(const std::string& application, const std::string& section,
                           const std::string& key, const std::string& text) {
    const std::string path = FileFor(application);
    const QString file = ToQt(path);
    auto fail = [&path](const std::string& why) {
        throw Failure(FailureCode::SettingsError, "Cannot save settings to " + path + ": " + why);
    };

    if (!QDir().mkpath(QFileInfo(file).absolutePath())) {
        fail("its folder cannot be created");
    }
    if (const std::string why = WaitForOtherWriters(file, lockWait_); !why.empty()) {
        fail(why);
    }

    const FileIdentity before = IdentityOf(path);
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(SettingsKey(section, key), ToQt(text));
    settings.sync();

    switch (settings.status()) {
    case QSettings::NoError:
        return;
    case QSettings::FormatError: {
        // The old file was not valid INI. QSettings keeps the first problem
        // it met as its status, so whether the new file got written has to
        // be seen on disk: a completed save renamed a new file into place.
        const FileIdentity after = IdentityOf(path);
        if (after.exists && after != before) {
            return;
        }
        fail("it cannot be written");
        break;
    }
    case QSettings::AccessError:
        fail("it cannot be written");
        break;
    }
}

} // namespace tavmar::runtime
