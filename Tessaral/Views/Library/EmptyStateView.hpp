#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace tessaral {

// A centred icon, title and text, with optional buttons below: what a view shows while it has
// nothing to list.
class EmptyStateView : public QWidget {
    Q_OBJECT

  public:
    explicit EmptyStateView(QWidget* parent = nullptr);

    void present(const QString& symbol, const QString& title, const QString& text);
    // Buttons are removed by the next present().
    QPushButton* addButton(const QString& title, bool prominent = false);

    QString title() const;
    QString text() const;

  private:
    QLabel* icon_;
    QLabel* title_;
    QLabel* text_;
    QWidget* buttons_;
};

}  // namespace tessaral
