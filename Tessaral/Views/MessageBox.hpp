#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace tessaral {

// The message boxes the views show, window-modal over their window, with a way for tests to
// answer the next one.
class MessageBox {
  public:
    // Asks with `confirmTitle` as a destructive button beside Cancel; true when confirmed.
    static bool confirmDestructive(QWidget* parent, const QString& title, const QString& text,
                                   const QString& confirmTitle);
    // Tells, with one button that dismisses.
    static void inform(QWidget* parent, const QString& title, const QString& text);

    // The next box is not shown: it answers at once (true: confirmed).
    static void setNextAnswer(bool confirm);
    // Title and text of the last box, shown or answered.
    static QString lastTitle() { return lastTitle_; }
    static QString lastText() { return lastText_; }

  private:
    static std::optional<bool> take(const QString& title, const QString& text);

    static std::optional<bool> nextAnswer_;
    static QString lastTitle_;
    static QString lastText_;
};

}  // namespace tessaral
