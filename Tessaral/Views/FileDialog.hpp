#pragma once

#include <QStandardPaths>
#include <QString>
#include <optional>

class QWidget;

namespace tessaral {

// The file dialogs the views open, with a way for tests to answer the next one.
class FileDialog {
  public:
    // A PNG file to write, with `suggestedName` proposed in the user's pictures folder. Empty when
    // the user cancelled. A chosen name without the ".png" extension gets it.
    static QString getSavePngFileName(QWidget* parent, const QString& caption,
                                      const QString& suggestedName);

    // A JSON file to read; empty when the user cancelled.
    static QString getOpenJsonFileName(QWidget* parent, const QString& caption);
    // A JSON file to write, with `suggestedName` proposed in the user's documents folder. A chosen
    // name without the ".json" extension gets it.
    static QString getSaveJsonFileName(QWidget* parent, const QString& caption,
                                       const QString& suggestedName);

    // The next dialog is not shown: it answers `fileName` (empty: cancelled) at once.
    static void setNextFileName(const QString& fileName);
    // The name proposed to the last dialog, shown or answered.
    static QString lastSuggestedName();

  private:
    // A file to write, proposed as `suggestedName` in `location`; a chosen name without `suffix`
    // gets it.
    static QString getSaveFileName(QWidget* parent, const QString& caption,
                                   const QString& suggestedName,
                                   QStandardPaths::StandardLocation location, const QString& filter,
                                   const QString& suffix);
    static QString folder(QStandardPaths::StandardLocation location);

    static std::optional<QString> nextFileName_;
    static QString lastSuggestedName_;
};

}  // namespace tessaral
