#include "SettingsView.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "Model/AppSettings.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/IdentityStore.hpp"
#include "Views/FormParts.hpp"
#include "Views/Icons.hpp"
#include "Views/MessageBox.hpp"
#include "Views/OptionPickers.hpp"
#include "Views/Session/WaylandShortcutsInhibitor.hpp"

namespace tessaral {

namespace {

QWidget* page(std::initializer_list<QWidget*> parts) {
    auto* widget = new QWidget;
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(8);
    for (QWidget* part : parts) {
        layout->addWidget(part);
    }
    layout->addStretch();
    return widget;
}

template <typename Enum, typename Parse, typename Store>
void bindPicker(QComboBox* picker, QObject* context, Parse parse, Store store) {
    QObject::connect(picker, &QComboBox::activated, context, [picker, parse, store] {
        if (const std::optional<Enum> value = parse(picker->currentData().toString())) {
            store(*value);
        }
    });
}

}  // namespace

SettingsView::SettingsView(ConnectionStore& store, IdentityStore& identities, QWidget* parent)
    : QDialog(parent), store_(store), identities_(identities), tabs_(new QTabWidget) {
    setObjectName(QStringLiteral("settingsView"));
    setWindowTitle(tr("Preferences"));
    tabs_->addTab(buildGeneral(), symbolIcon(QStringLiteral("gearshape")), tr("General"));
    tabs_->addTab(buildConnectionDefaults(), symbolIcon(QStringLiteral("display")),
                  tr("Connections"));
    tabs_->addTab(buildInput(), symbolIcon(QStringLiteral("keyboard")), tr("Keyboard && Mouse"));
    tabs_->addTab(buildIdentities(), symbolIcon(QStringLiteral("lock")), tr("Identities"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(tabs_);
    setMinimumWidth(560);

    // Every preference is re-read on any change: there are only nine.
    connect(&AppSettings::instance(), &AppSettings::changed, this, &SettingsView::refresh);
    connect(&store_, &ConnectionStore::connectionsChanged, this, &SettingsView::refreshClearLinks);
    connect(&identities_, &IdentityStore::identitiesChanged, this,
            &SettingsView::refreshIdentities);
    refresh();
    refreshClearLinks();
    refreshIdentities();
}

QWidget* SettingsView::buildGeneral() {
    auto* box = new QGroupBox;
    QFormLayout* form = formLayout(box);

    layout_ = new QComboBox;
    layout_->setObjectName(QStringLiteral("libraryLayoutPicker"));
    layout_->addItem(tr("Grid"), rawValue(LibraryLayout::grid));
    layout_->addItem(tr("List"), rawValue(LibraryLayout::list));
    bindPicker<LibraryLayout>(layout_, this, libraryLayoutFromRawValue,
                              &AppSettings::setLibraryLayout);
    form->addRow(tr("Show computers as"), layout_);

    showNearby_ = new QCheckBox(tr("Discover nearby computers with Bonjour"));
    showNearby_->setObjectName(QStringLiteral("showNearbyToggle"));
    connect(showNearby_, &QCheckBox::toggled, this, &AppSettings::setShowNearby);
    form->addRow(showNearby_);

    saveThumbnails_ = new QCheckBox(tr("Save a preview of the screen when disconnecting"));
    saveThumbnails_->setObjectName(QStringLiteral("saveThumbnailsToggle"));
    connect(saveThumbnails_, &QCheckBox::toggled, this, &AppSettings::setSaveThumbnails);
    form->addRow(saveThumbnails_);

    clearLinks_ = new QPushButton(tr("Clear Connections Opened from Links"));
    clearLinks_->setObjectName(QStringLiteral("clearLinksButton"));
    clearLinks_->setAutoDefault(false);
    connect(clearLinks_, &QPushButton::clicked, this, [this] { store_.clearLinks(); });
    auto* links = new QHBoxLayout;
    links->addWidget(clearLinks_);
    links->addStretch();
    form->addRow(tr("Links"), links);
    return page({box});
}

QWidget* SettingsView::buildConnectionDefaults() {
    auto* box = new QGroupBox;
    QFormLayout* form = formLayout(box);

    scaling_ = new QComboBox;
    scaling_->setObjectName(QStringLiteral("defaultScalingPicker"));
    fillScalingPicker(scaling_);
    bindPicker<ScalingMode>(scaling_, this, scalingModeFromRawValue,
                            &AppSettings::setDefaultScaling);
    form->addRow(tr("Scaling"), scaling_);

    quality_ = new QComboBox;
    quality_->setObjectName(QStringLiteral("defaultQualityPicker"));
    fillQualityPicker(quality_);
    bindPicker<rfb::RFBQuality>(quality_, this, qualityFromRawValue,
                                &AppSettings::setDefaultQuality);
    form->addRow(tr("Quality"), quality_);

    shareClipboard_ = new QCheckBox(tr("Share clipboard"));
    shareClipboard_->setObjectName(QStringLiteral("defaultShareClipboardToggle"));
    connect(shareClipboard_, &QCheckBox::toggled, this, &AppSettings::setDefaultShareClipboard);
    form->addRow(shareClipboard_);

    return page({box, footnote(tr("Used for new connections. Each saved computer can override "
                                  "these in its settings."))});
}

QWidget* SettingsView::buildInput() {
    auto* keys = new QGroupBox;
    QFormLayout* form = formLayout(keys);

    commandMapping_ = new QComboBox;
    commandMapping_->setObjectName(QStringLiteral("defaultCommandMappingPicker"));
    fillCommandMappingPicker(commandMapping_);
    bindPicker<rfb::KeySymbol::CommandMapping>(commandMapping_, this, commandMappingFromRawValue,
                                               &AppSettings::setDefaultCommandMapping);
    // On this computer the Super key plays the Command key, so the texts name it.
    form->addRow(tr("Super key sends"), commandMapping_);

    sendSystemShortcuts_ = new QCheckBox(tr("Send Super shortcuts to the remote computer"));
    sendSystemShortcuts_->setObjectName(QStringLiteral("sendSystemShortcutsToggle"));
    connect(sendSystemShortcuts_, &QCheckBox::toggled, this, &AppSettings::setSendSystemShortcuts);
    form->addRow(sendSystemShortcuts_);
    captureSystemKeys_ = new QCheckBox(tr("Send system shortcuts to the remote computer"));
    captureSystemKeys_->setObjectName(QStringLiteral("captureSystemKeysToggle"));
    captureSystemKeys_->setToolTip(
        tr("Alt+Tab, Super and Ctrl+Alt+arrows go to the remote computer while its window has "
           "the focus, not only in full screen"));
    connect(captureSystemKeys_, &QCheckBox::toggled, this, &AppSettings::setCaptureSystemKeys);
    form->addRow(captureSystemKeys_);
    // Where a Wayland desktop offers no way to pass its shortcuts on, neither this nor full screen
    // can take them, and the user should not look for a fault in Tessaral.
    if (WaylandShortcutsInhibitor::onWayland() && !WaylandShortcutsInhibitor().offered()) {
        form->addRow(
            footnote(tr("This desktop keeps Alt+Tab, Super and its other shortcuts: it "
                        "does not let applications take them.")));
    }

    auto* cursor = new QGroupBox;
    QFormLayout* cursorForm = formLayout(cursor);
    hideLocalCursor_ = new QCheckBox(tr("Hide local cursor when the server draws its own"));
    hideLocalCursor_->setObjectName(QStringLiteral("hideLocalCursorToggle"));
    connect(hideLocalCursor_, &QCheckBox::toggled, this, &AppSettings::setHideLocalCursor);
    cursorForm->addRow(hideLocalCursor_);

    return page({keys,
                 footnote(tr("With Super shortcuts on, shortcuts such as Super+C and Super+V "
                             "go to the remote computer. Super+Q, Super+W, Super+H, Super+M and "
                             "shortcuts that use both Ctrl and Super always stay on this "
                             "computer. Automatic sends Meta to Macs and Super to other "
                             "computers. System shortcuts (Alt+Tab, Super alone, Ctrl+Alt+arrows) "
                             "always go to a remote computer shown in full screen; with system "
                             "shortcuts on, also while its window has the focus.")),
                 cursor});
}

QWidget* SettingsView::buildIdentities() {
    identityList_ = new QTreeWidget;
    identityList_->setObjectName(QStringLiteral("identityList"));
    identityList_->setHeaderLabels({tr("Computer"), tr("Kind"), tr("Fingerprint")});
    identityList_->setRootIsDecorated(false);
    identityList_->setMinimumHeight(180);
    forget_ = new QPushButton(tr("Forget…"));
    forget_->setObjectName(QStringLiteral("forgetIdentityButton"));
    forget_->setAutoDefault(false);
    connect(identityList_, &QTreeWidget::itemSelectionChanged, this,
            [this] { forget_->setEnabled(!identityList_->selectedItems().isEmpty()); });
    connect(forget_, &QPushButton::clicked, this, &SettingsView::forgetSelectedIdentity);
    auto* buttons = new QWidget;
    auto* row = new QHBoxLayout(buttons);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(forget_);
    row->addStretch();
    return page({identityList_, buttons,
                 footnote(tr("The certificates and keys you chose to trust when connecting. A "
                             "computer whose identity you forget asks again on its next "
                             "connection."))});
}

void SettingsView::refreshIdentities() {
    identityList_->clear();
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (const TrustedIdentity& entry : identities_.identities()) {
        const bool certificate = entry.identity.kind == rfb::RFBIdentity::Kind::certificate;
        auto* item = new QTreeWidgetItem(
            identityList_, {entry.server, certificate ? tr("Certificate") : tr("RSA key"),
                            QString::fromStdString(entry.identity.fingerprint())});
        item->setFont(2, fixed);
        // The column is often too narrow for a certificate's.
        item->setToolTip(2, item->text(2));
    }
    for (int column = 0; column < identityList_->columnCount(); ++column) {
        identityList_->resizeColumnToContents(column);
    }
    forget_->setEnabled(!identityList_->selectedItems().isEmpty());
}

void SettingsView::forgetSelectedIdentity() {
    const QList<QTreeWidgetItem*> selected = identityList_->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    const QString server = selected.first()->text(0);
    if (MessageBox::confirmDestructive(
            this, tr("Forget the identity of %1?").arg(server),
            tr("The next connection to it asks again whether to trust the identity it presents."),
            tr("Forget"))) {
        identities_.forget(server);
    }
}

void SettingsView::refresh() {
    const QSignalBlocker blockers[] = {
        QSignalBlocker(layout_),          QSignalBlocker(showNearby_),
        QSignalBlocker(saveThumbnails_),  QSignalBlocker(scaling_),
        QSignalBlocker(quality_),         QSignalBlocker(shareClipboard_),
        QSignalBlocker(commandMapping_),  QSignalBlocker(sendSystemShortcuts_),
        QSignalBlocker(hideLocalCursor_), QSignalBlocker(captureSystemKeys_)};
    selectRawValue(layout_, rawValue(AppSettings::libraryLayout()));
    showNearby_->setChecked(AppSettings::showNearby());
    saveThumbnails_->setChecked(AppSettings::saveThumbnails());
    selectRawValue(scaling_, rawValue(AppSettings::defaultScaling()));
    selectRawValue(quality_, rawString(AppSettings::defaultQuality()));
    shareClipboard_->setChecked(AppSettings::defaultShareClipboard());
    selectRawValue(commandMapping_, rawString(AppSettings::defaultCommandMapping()));
    sendSystemShortcuts_->setChecked(AppSettings::sendSystemShortcuts());
    hideLocalCursor_->setChecked(AppSettings::hideLocalCursor());
    captureSystemKeys_->setChecked(AppSettings::captureSystemKeys());
}

void SettingsView::refreshClearLinks() {
    const QList<Connection>& connections = store_.connections();
    clearLinks_->setEnabled(std::any_of(
        connections.begin(), connections.end(),
        [](const Connection& connection) { return connection.origin == ConnectionOrigin::link; }));
}

}  // namespace tessaral
