#pragma once

#include <QObject>
#include <QString>
#include <optional>

namespace tessaral {

// The local clipboard as plain text, with a change count that grows on every change, this
// program's own writes included.
class LocalClipboard {
  public:
    virtual ~LocalClipboard() = default;
    virtual long changeCount() const = 0;
    // None when the clipboard holds no text.
    virtual std::optional<QString> text() const = 0;
    virtual void setText(const QString& text) = 0;
};

// The desktop's clipboard (QClipboard in its Clipboard mode). Needs a QGuiApplication.
class SystemClipboard final : public QObject, public LocalClipboard {
    Q_OBJECT
  public:
    explicit SystemClipboard(QObject* parent = nullptr);
    long changeCount() const override { return changes_; }
    std::optional<QString> text() const override;
    void setText(const QString& text) override;

  private:
    long changes_ = 0;
};

}  // namespace tessaral
