#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace tessaral {

// Creates the folder and any missing parents, each new one with mode 0700 whatever the umask.
// Existing folders keep their permissions. Failures are left for later file operations to meet.
void makePrivatePath(const QString& path);

// The bytes go to a temporary file beside `path`, which then replaces it in one rename: a crash at
// any point leaves either the old file or the new one, never a mix. False, with the reason in
// `error` when given, on failure.
bool writeAtomically(const QString& path, const QByteArray& bytes, QString* error);

// One file of the store's folder that holds the user's own records ("Library.json"), read once and
// written whole after each change. A file that cannot be read is logged and moved aside as
// "<name>-unreadable-<seconds>.json", and is never overwritten: until it could be moved, nothing
// is written in its place. Failures to write are logged and leave the file as it was.
class StoreFile {
  public:
    struct Unreadable {
        QString reason;
        // The name it was moved aside to, in the same folder; none while it is still in place.
        std::optional<QString> movedTo;
    };

    // `what` names the contents in the log: "library" gives "Couldn't read library: …".
    StoreFile(const QString& directory, const QString& fileName, const QString& what,
              qint64 maximumSize);

    const QString& path() const { return path_; }

    // The file's bytes; none when there is no file (the first start), or when it cannot be read,
    // which then counts as unreadable.
    std::optional<QByteArray> read();
    // For bytes that read() gave but that make no sense: the file is logged and moved aside.
    void setUnreadable(const QString& reason);
    // The last time the file was found unreadable.
    const std::optional<Unreadable>& unreadable() const { return unreadable_; }

    void write(const QByteArray& bytes);

  private:
    std::optional<QString> moveAside();

    QString directory_;
    QString fileName_;
    QString path_;
    QString what_;
    qint64 maximumSize_;
    std::optional<Unreadable> unreadable_;
};

}  // namespace tessaral
