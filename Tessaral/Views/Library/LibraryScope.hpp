#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QUuid>
#include <optional>

#include "Model/Connection.hpp"

namespace tessaral {

class ConnectionStore;

// What the library window's sidebar selects. No selection shows the same as `all`.
struct SidebarItem {
    enum class Kind { all, recents, links, nearby, group };

    Kind kind = Kind::all;
    QUuid groupID;

    static SidebarItem plain(Kind kind) { return {kind, {}}; }
    static SidebarItem group(const QUuid& id) { return {Kind::group, id}; }
    bool operator==(const SidebarItem&) const = default;
};

// The rules of the library window that need no widget: which computers a scope shows, what the
// title says, how new groups and deletions are named.
namespace LibraryScope {

// The computers the sidebar item selects, in the order they are shown.
QList<Connection> scoped(const ConnectionStore& store, const std::optional<SidebarItem>& item);
// Those whose name, host or user name contains the trimmed search text (ignoring case, as the
// user's locale compares); all of them when the text is blank.
QList<Connection> filtered(const QList<Connection>& connections, const QString& searchText);
// Names in the order people expect: runs of digits as numbers ("Mac 9" before "Mac 10"), the
// rest as the user's locale sorts it, ignoring case. The collator's own numeric mode is not
// available in every locale (the C locale has none), so digit runs are compared here.
int naturalCompare(const QString& a, const QString& b);
// Whether `text` contains `part`, as the user's locale compares ignoring case.
bool localizedContains(const QString& text, const QString& part);

QString title(const ConnectionStore& store, const std::optional<SidebarItem>& item);
// "1 computer", otherwise "N computers".
QString countText(qsizetype count);
// "New Group", else "New Group 2", "New Group 3", … whichever no group is named yet.
QString newGroupName(const QStringList& existingNames);
QString deletionTitle(const ConnectionStore& store, const QSet<QUuid>& ids);
// The vnc:// link of a computer, none for one known only by its Bonjour service.
std::optional<QString> link(const Connection& connection);
// "5 minutes ago", "yesterday", … or "Never".
QString relativeDate(const std::optional<QDateTime>& date, const QDateTime& now);

}  // namespace LibraryScope

}  // namespace tessaral
