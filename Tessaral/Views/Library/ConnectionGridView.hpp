#pragma once

#include <QListView>
#include <QSet>
#include <QUuid>

#include "ConnectionContextMenu.hpp"

namespace tessaral {

class ConnectionListModel;
class ConnectionStore;

// The computers as cards in adaptive columns: a preview (or the computer's icon on its tint),
// the name, the address and whether a session is open. Ctrl toggles a card in the selection, a
// double click or Return connects, cards drag out as their ids.
class ConnectionGridView : public QListView {
    Q_OBJECT

  public:
    static constexpr int minimumColumnWidth = 220;
    static constexpr int maximumColumnWidth = 320;
    static constexpr int columnSpacing = 24;
    static constexpr int rowSpacing = 28;
    static constexpr int padding = 24;

    // `store` and `model` must outlive the view.
    ConnectionGridView(const ConnectionStore& store, ConnectionListModel& model,
                       ConnectionActions actions, QWidget* parent = nullptr);

    QSet<QUuid> selectedIDs() const;
    void setSelectedIDs(const QSet<QUuid>& ids);
    // The width of a card for a viewport that wide.
    static int columnWidth(int viewportWidth);

  signals:
    void selectedIDsChanged(const QSet<QUuid>& ids);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void updateCardSize();
    void showContextMenu(const QPoint& position);

    const ConnectionStore& store_;
    ConnectionListModel& model_;
    ConnectionActions actions_;
};

}  // namespace tessaral
