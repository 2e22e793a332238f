#pragma once

#include <QString>
#include <QWidget>
#include <functional>

#include "Model/BonjourBrowser.hpp"

class QListWidget;
class QStackedWidget;

namespace tessaral {

class EmptyStateView;

// The computers the browser finds on the local network, each with "Add to Library" and
// "Connect"; while there are none, what the browser is doing or why it cannot browse.
class NearbyView : public QWidget {
    Q_OBJECT

  public:
    using ServiceAction = std::function<void(const BonjourBrowser::Service&)>;

    // `browser` must outlive the view.
    NearbyView(BonjourBrowser& browser, ServiceAction connect, ServiceAction save,
               QWidget* parent = nullptr);

    void setSearchText(const QString& text);
    // The services shown, in the browser's order.
    QList<BonjourBrowser::Service> shownServices() const;

    QListWidget* list() const { return list_; }
    EmptyStateView* emptyState() const { return empty_; }

  private:
    void refresh();

    BonjourBrowser& browser_;
    ServiceAction connect_;
    ServiceAction save_;
    QString searchText_;
    QStackedWidget* stack_;
    QListWidget* list_;
    EmptyStateView* empty_;
};

}  // namespace tessaral
