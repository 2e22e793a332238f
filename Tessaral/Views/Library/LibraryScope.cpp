#include "LibraryScope.hpp"

#include <QCollator>
#include <QCoreApplication>
#include <QLocale>
#include <algorithm>

#include "Model/ConnectionStore.hpp"
#include "VNCAddress.hpp"

namespace tessaral::LibraryScope {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("LibraryScope", text);
}

// Case and accents folded the way the user's locale folds them, so that "imac" finds "iMac" and
// "cafe" finds "Café".
QString folded(const QString& text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString bare;
    bare.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (c.category() != QChar::Mark_NonSpacing) {
            bare.append(c);
        }
    }
    return QLocale().toLower(bare).toCaseFolded();
}

// English plurals; the wording of relative dates is this program's own.
QString ago(int count, const char* unit) {
    return count == 1 ? QStringLiteral("1 %1 ago").arg(QLatin1String(unit))
                      : QStringLiteral("%1 %2s ago").arg(count).arg(QLatin1String(unit));
}

}  // namespace

int naturalCompare(const QString& a, const QString& b) {
    static const QCollator collator = [] {
        QCollator c;
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    const auto run = [](const QString& text, qsizetype& position) {
        const qsizetype start = position;
        const bool digits = text[position].isDigit();
        while (position < text.size() && text[position].isDigit() == digits) {
            ++position;
        }
        return QStringView(text).sliced(start, position - start);
    };
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const QStringView left = run(a, i);
        const QStringView right = run(b, j);
        int order = 0;
        if (left[0].isDigit() && right[0].isDigit()) {
            const auto significant = [](QStringView number) {
                qsizetype zeros = 0;
                while (zeros + 1 < number.size() && number[zeros] == u'0') {
                    ++zeros;
                }
                return number.sliced(zeros);
            };
            const QStringView x = significant(left);
            const QStringView y = significant(right);
            order = x.size() != y.size() ? (x.size() < y.size() ? -1 : 1) : x.compare(y);
        } else {
            order = collator.compare(left, right);
        }
        if (order != 0) {
            return order < 0 ? -1 : 1;
        }
    }
    if (i < a.size() || j < b.size()) {
        return i < a.size() ? 1 : -1;
    }
    return collator.compare(a, b);
}

bool localizedContains(const QString& text, const QString& part) {
    return folded(text).contains(folded(part));
}

QList<Connection> scoped(const ConnectionStore& store, const std::optional<SidebarItem>& item) {
    const SidebarItem::Kind kind = item ? item->kind : SidebarItem::Kind::all;
    QList<Connection> result;
    switch (kind) {
        case SidebarItem::Kind::all: {
            for (const Connection& connection : store.connections()) {
                if (connection.origin == ConnectionOrigin::saved) {
                    result.append(connection);
                }
            }
            std::stable_sort(result.begin(), result.end(),
                             [](const Connection& a, const Connection& b) {
                                 return naturalCompare(a.name, b.name) < 0;
                             });
            break;
        }
        case SidebarItem::Kind::recents:
            result = store.recents();
            break;
        case SidebarItem::Kind::links:
            for (const Connection& connection : store.connections()) {
                if (connection.origin == ConnectionOrigin::link) {
                    result.append(connection);
                }
            }
            break;
        case SidebarItem::Kind::group:
            for (const Connection& connection : store.connections()) {
                if (connection.groupID == item->groupID) {
                    result.append(connection);
                }
            }
            break;
        case SidebarItem::Kind::nearby:
            break;
    }
    return result;
}

QList<Connection> filtered(const QList<Connection>& connections, const QString& searchText) {
    const QString text = trimmedSpacesAndTabs(searchText).toString();
    if (text.isEmpty()) {
        return connections;
    }
    const QString needle = folded(text);
    QList<Connection> result;
    for (const Connection& connection : connections) {
        for (const QString* field : {&connection.name, &connection.host, &connection.username}) {
            if (folded(*field).contains(needle)) {
                result.append(connection);
                break;
            }
        }
    }
    return result;
}

QString title(const ConnectionStore& store, const std::optional<SidebarItem>& item) {
    switch (item ? item->kind : SidebarItem::Kind::all) {
        case SidebarItem::Kind::all:
            return tr("All Computers");
        case SidebarItem::Kind::recents:
            return tr("Recents");
        case SidebarItem::Kind::links:
            return tr("Links");
        case SidebarItem::Kind::nearby:
            return tr("Nearby");
        case SidebarItem::Kind::group:
            for (const ConnectionGroup& group : store.groups()) {
                if (group.id == item->groupID) {
                    return group.name;
                }
            }
            return tr("Group");
    }
    return {};
}

QString countText(qsizetype count) {
    return count == 1 ? tr("1 computer") : tr("%1 computers").arg(count);
}

QString newGroupName(const QStringList& existingNames) {
    const QString base = tr("New Group");
    if (!existingNames.contains(base)) {
        return base;
    }
    for (int n = 2;; ++n) {
        const QString name = base + u' ' + QString::number(n);
        if (!existingNames.contains(name)) {
            return name;
        }
    }
}

QString deletionTitle(const ConnectionStore& store, const QSet<QUuid>& ids) {
    if (ids.size() == 1) {
        if (const std::optional<Connection> connection = store.connection(*ids.begin())) {
            return tr("Delete “%1”?").arg(connection->name);
        }
    }
    return tr("Delete %1 Computers?").arg(ids.size());
}

std::optional<QString> link(const Connection& connection) {
    if (connection.bonjourServiceName && connection.host.isEmpty()) {
        return std::nullopt;
    }
    if (connection.port < 1 || connection.port > 65535) {
        return std::nullopt;
    }
    rfb::VNCAddress address{connection.host.toStdString(), static_cast<int>(connection.port)};
    if (!connection.username.isEmpty()) {
        address.username = connection.username.toStdString();
    }
    const std::optional<std::string> url = address.url();
    if (!url) {
        return std::nullopt;
    }
    return QString::fromStdString(*url);
}

QString relativeDate(const std::optional<QDateTime>& date, const QDateTime& now) {
    if (!date) {
        return tr("Never");
    }
    const qint64 seconds = date->secsTo(now);
    if (seconds < 60) {
        return tr("just now");
    }
    if (seconds < 3600) {
        return ago(static_cast<int>(seconds / 60), "minute");
    }
    const qint64 days = date->toLocalTime().date().daysTo(now.toLocalTime().date());
    if (days < 1) {
        return ago(static_cast<int>(seconds / 3600), "hour");
    }
    if (days == 1) {
        return tr("yesterday");
    }
    if (days < 7) {
        return ago(static_cast<int>(days), "day");
    }
    if (days < 31) {
        return ago(static_cast<int>(days / 7), "week");
    }
    if (days < 365) {
        return ago(static_cast<int>(days / 30), "month");
    }
    return ago(static_cast<int>(days / 365), "year");
}

}  // namespace tessaral::LibraryScope
