#pragma once

#include <QStandardPaths>
#include <QString>
#include <functional>
#include <optional>

class QWidget;

namespace tessaral {

// The file dialogs the views open, with a way for tests to answer the next one.
class FileDialog {
  public:
    // Asks for a PNG file to write, with `suggestedName` proposed in the user's pictures folder,
    // and returns at once. The dialog blocks only the window of `parent` and goes with it;
    // `chosen` is called with the name unless the user cancels. A chosen name without the ".png"
    // extension gets it.
    static void askForPngFileName(QWidget* parent, const QString& caption,
                                  const QString& suggestedName,
                                  std::function<void(const QString& fileName)> chosen);

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
    // The answer set for the next dialog, if any; notes the name proposed either way.
    static std::optional<QString> takeNextFileName(const QString& suggestedName);
    // `suggestedName` in the folder of `location`.
    static QString proposedPath(QStandardPaths::StandardLocation location,
                                const QString& suggestedName);
    static QString folder(QStandardPaths::StandardLocation location);

    static std::optional<QString> nextFileName_;
    static QString lastSuggestedName_;
};

}  // namespace tessaral
