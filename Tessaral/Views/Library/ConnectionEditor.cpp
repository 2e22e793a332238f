#include "ConnectionEditor.hpp"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "Model/ConnectionStore.hpp"
#include "Model/KeychainService.hpp"
#include "RFBError.hpp"
#include "Views/FormParts.hpp"
#include "Views/Icons.hpp"
#include "Views/OptionPickers.hpp"

namespace tessaral {

namespace {

constexpr int headerIconSize = 44;
constexpr int symbolIconSize = 22;

QString tintTitle(ConnectionTint tint) {
    QString name = rawValue(tint);
    name[0] = name[0].toUpper();
    return name;
}

// A circular colour swatch; the checked one is ringed.
class TintSwatch : public QAbstractButton {
  public:
    TintSwatch(ConnectionTint tint, QWidget* parent = nullptr)
        : QAbstractButton(parent), color_(tintColor(tint)) {
        setCheckable(true);
        setToolTip(tintTitle(tint));
        setAccessibleName(tintTitle(tint));
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
    }

    QSize sizeHint() const override { return {26, 26}; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
        if (isChecked() || hasFocus()) {
            painter.setPen(QPen(palette().color(QPalette::Text), 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(bounds);
        }
        painter.setPen(Qt::NoPen);
        painter.setBrush(color_);
        painter.drawEllipse(bounds.adjusted(3.5, 3.5, -3.5, -3.5));
    }

  private:
    QColor color_;
};

QGroupBox* section(const QString& title, QLayout* content) {
    auto* box = new QGroupBox(title);
    box->setLayout(content);
    return box;
}

// One label column for all sections, so that their fields line up.
void alignLabelColumns(QWidget* root) {
    QList<QWidget*> labels;
    int width = 0;
    for (QGroupBox* box : root->findChildren<QGroupBox*>()) {
        auto* form = qobject_cast<QFormLayout*>(box->layout());
        for (int row = 0; form && row < form->rowCount(); ++row) {
            QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole);
            if (item && item->widget()) {
                labels << item->widget();
                width = std::max(width, item->widget()->sizeHint().width());
            }
        }
    }
    for (QWidget* label : labels) {
        label->setMinimumWidth(width);
    }
}

}  // namespace

qint64 ConnectionEditor::portFromText(const QString& text) {
    if (text.isEmpty()) {
        return rfb::VNCAddress::defaultPort;
    }
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    if (!integer.match(text).hasMatch()) {
        return -1;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    // Too many digits for any integer: certainly not a port.
    return ok ? value : -1;
}

QString ConnectionEditor::validationMessage(const Connection& connection) {
    if (connection.isValid()) {
        return {};
    }
    if (trimmedSpacesAndTabs(connection.name).isEmpty()) {
        return tr("A name is required.");
    }
    if (trimmedSpacesAndTabs(connection.host).isEmpty() && !connection.bonjourServiceName) {
        return tr("An address is required.");
    }
    if (connection.port < 1 || connection.port > 65535) {
        return tr("Enter a port between 1 and 65,535.");
    }
    return tr("Enter the SSH gateway as [user@]host[:port], without spaces.");
}

ConnectionEditor::ConnectionEditor(ConnectionStore& store, KeychainService& keychain,
                                   const Connection& connection, bool isNew, QWidget* parent)
    : QDialog(parent), store_(store), keychain_(keychain), connection_(connection), isNew_(isNew) {
    setObjectName(QStringLiteral("connectionEditor"));
    setWindowModality(Qt::WindowModal);
    setWindowTitle(isNew ? tr("New Connection") : tr("Edit Connection"));

    auto* content = new QWidget;
    auto* sections = new QVBoxLayout(content);
    sections->setContentsMargins(18, 12, 18, 12);
    sections->setSpacing(12);
    sections->addWidget(buildHeader());
    sections->addWidget(buildComputerSection());
    sections->addWidget(buildAuthenticationSection());
    sections->addWidget(buildAppearanceSection());
    sections->addWidget(buildDisplaySection());
    sections->addWidget(buildBehaviorSection());
    sections->addStretch();

    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll, 1);
    layout->addWidget(buildBottomBar());
    alignLabelColumns(content);
    // Tall enough to show every section without scrolling where the screen allows it.
    const int wanted = content->sizeHint().height() + 64;
    const int available = screen() ? screen()->availableGeometry().height() - 80 : wanted;
    resize(560, std::min(wanted, available));

    loadPassword();
    refresh();
    name_->setFocus();
}

ConnectionEditor::~ConnectionEditor() = default;

QWidget* ConnectionEditor::buildHeader() {
    auto* header = new QWidget;
    headerIcon_ = new QLabel;
    headerIcon_->setObjectName(QStringLiteral("headerIcon"));
    headerIcon_->setFixedSize(headerIconSize, headerIconSize);
    auto* title = new QLabel(isNew_ ? tr("New Connection") : tr("Edit Connection"));
    title->setObjectName(QStringLiteral("editorTitle"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    subtitle_ = new QLabel;
    subtitle_->setObjectName(QStringLiteral("editorSubtitle"));
    subtitle_->setForegroundRole(QPalette::PlaceholderText);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(title);
    texts->addWidget(subtitle_);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 4);
    row->setSpacing(12);
    row->addWidget(headerIcon_);
    row->addLayout(texts, 1);
    return header;
}

QWidget* ConnectionEditor::buildComputerSection() {
    auto* form = formLayout();
    name_ = new QLineEdit(connection_.name);
    name_->setObjectName(QStringLiteral("nameField"));
    name_->setPlaceholderText(tr("My Mac"));
    connect(name_, &QLineEdit::textChanged, this, [this](const QString& text) {
        connection_.name = text;
        refresh();
    });
    form->addRow(tr("Name"), name_);

    if (connection_.bonjourServiceName && connection_.host.isEmpty()) {
        auto* icon = new QLabel;
        icon->setPixmap(symbolIcon(QStringLiteral("bonjour")).pixmap(16, 16));
        auto* service = new QLabel(*connection_.bonjourServiceName);
        service->setObjectName(QStringLiteral("bonjourService"));
        service->setTextInteractionFlags(Qt::TextSelectableByMouse);
        auto* line = new QHBoxLayout;
        line->setSpacing(6);
        line->addWidget(icon);
        line->addWidget(service, 1);
        form->addRow(tr("Address"), line);
    } else {
        host_ = new QLineEdit(connection_.host);
        host_->setObjectName(QStringLiteral("hostField"));
        host_->setPlaceholderText(tr("IP address or hostname"));
        previousHost_ = connection_.host;
        port_ = new QLineEdit(connection_.port == rfb::VNCAddress::defaultPort
                                  ? QString()
                                  : QString::number(connection_.port));
        port_->setObjectName(QStringLiteral("portField"));
        port_->setPlaceholderText(QString::number(rfb::VNCAddress::defaultPort));
        port_->setFixedWidth(port_->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 16);
        connect(host_, &QLineEdit::textChanged, this, &ConnectionEditor::hostChanged);
        connect(host_, &QLineEdit::editingFinished, this, &ConnectionEditor::applyPastedAddress);
        connect(port_, &QLineEdit::textChanged, this, [this](const QString& text) {
            connection_.port = portFromText(text);
            refresh();
        });
        auto* line = new QHBoxLayout;
        line->setSpacing(8);
        line->addWidget(host_, 1);
        auto* portLabel = new QLabel(tr("Port"));
        portLabel->setBuddy(port_);
        line->addWidget(portLabel);
        line->addWidget(port_);
        form->addRow(tr("Address"), line);
    }

    sshGateway_ = new QLineEdit(connection_.sshGateway);
    sshGateway_->setObjectName(QStringLiteral("sshGatewayField"));
    sshGateway_->setPlaceholderText(tr("Optional: user@gateway:22"));
    sshGateway_->setToolTip(
        tr("Reach the computer through this SSH server, as ssh would from a terminal. Its "
           "address is then what the SSH server calls it, such as localhost."));
    connect(sshGateway_, &QLineEdit::textChanged, this, [this](const QString& text) {
        connection_.sshGateway = trimmedSpacesAndTabs(text).toString();
        refresh();
    });
    form->addRow(tr("Connect through SSH"), sshGateway_);

    group_ = new QComboBox;
    group_->setObjectName(QStringLiteral("groupPicker"));
    group_->addItem(tr("None"));
    for (const ConnectionGroup& group : store_.groups()) {
        group_->addItem(group.name, group.id);
        if (connection_.groupID == group.id) {
            group_->setCurrentIndex(group_->count() - 1);
        }
    }
    // Only a choice of the user's changes the group: a group the list does not show (deleted
    // meanwhile) is not silently dropped.
    connect(group_, &QComboBox::activated, this, [this](int index) {
        const QVariant id = group_->itemData(index);
        connection_.groupID = id.isValid() ? std::optional<QUuid>(id.toUuid()) : std::nullopt;
    });
    form->addRow(tr("Group"), group_);
    return section(tr("Computer"), form);
}

QWidget* ConnectionEditor::buildAuthenticationSection() {
    auto* form = formLayout();
    username_ = new QLineEdit(connection_.username);
    username_->setObjectName(QStringLiteral("usernameField"));
    username_->setPlaceholderText(tr("Optional"));
    connect(username_, &QLineEdit::textChanged, this,
            [this](const QString& text) { connection_.username = text; });
    form->addRow(tr("Username"), username_);
    password_ = new QLineEdit;
    password_->setObjectName(QStringLiteral("passwordField"));
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(tr("Ask when connecting"));
    connect(password_, &QLineEdit::textEdited, this, [this] { passwordEdited_ = true; });
    form->addRow(tr("Password"), password_);
    form->addRow(footnote(
        tr("For a Mac, enter the name and password of a user account on it. For other VNC "
           "servers, leave the username empty and enter the VNC password. Passwords are stored "
           "in your password keyring.")));
    return section(tr("Authentication"), form);
}

QWidget* ConnectionEditor::buildAppearanceSection() {
    auto* form = formLayout();
    const QColor iconColor = palette().color(QPalette::Text);

    symbolButtons_ = new QButtonGroup(this);
    auto* symbols = new QHBoxLayout;
    symbols->setSpacing(2);
    for (const QString& symbol : Connection::symbols()) {
        auto* button = new QToolButton;
        button->setObjectName(QStringLiteral("symbol:") + symbol);
        button->setCheckable(true);
        button->setAutoRaise(true);
        button->setToolTip(symbol);
        button->setIconSize({symbolIconSize, symbolIconSize});
        button->setIcon(tintedSymbol(symbol, iconColor, symbolIconSize, devicePixelRatioF()));
        button->setChecked(symbol == connection_.symbol);
        symbolButtons_->addButton(button);
        symbols->addWidget(button);
        connect(button, &QToolButton::clicked, this, [this, symbol] {
            connection_.symbol = symbol;
            updateHeaderIcon();
        });
    }
    symbols->addStretch();
    form->addRow(tr("Icon"), symbols);

    tintButtons_ = new QButtonGroup(this);
    auto* tints = new QHBoxLayout;
    tints->setSpacing(4);
    for (ConnectionTint tint : allTints) {
        auto* swatch = new TintSwatch(tint);
        swatch->setObjectName(QStringLiteral("tint:") + rawValue(tint));
        swatch->setChecked(tint == connection_.tint);
        tintButtons_->addButton(swatch);
        tints->addWidget(swatch);
        connect(swatch, &QAbstractButton::clicked, this, [this, tint] {
            connection_.tint = tint;
            updateHeaderIcon();
        });
    }
    tints->addStretch();
    form->addRow(tr("Color"), tints);
    return section(tr("Appearance"), form);
}

QWidget* ConnectionEditor::buildDisplaySection() {
    auto* form = formLayout();
    auto* scaling = new QComboBox;
    scaling->setObjectName(QStringLiteral("scalingPicker"));
    fillScalingPicker(scaling);
    selectRawValue(scaling, rawValue(connection_.options.scaling));
    connect(scaling, &QComboBox::activated, this, [this, scaling] {
        connection_.options.scaling = scalingModeFromRawValue(scaling->currentData().toString())
                                          .value_or(connection_.options.scaling);
    });
    form->addRow(tr("Scaling"), scaling);
    auto* resize = new QCheckBox(tr("Resize Remote to Fit Window"));
    resize->setObjectName(QStringLiteral("resizeRemoteToggle"));
    resize->setToolTip(
        tr("Where the remote computer allows it, its screen takes the window's size"));
    resize->setChecked(connection_.options.resizeRemote);
    connect(resize, &QCheckBox::toggled, this,
            [this](bool on) { connection_.options.resizeRemote = on; });
    form->addRow(QString(), resize);

    auto* quality = new QComboBox;
    quality->setObjectName(QStringLiteral("qualityPicker"));
    fillQualityPicker(quality);
    selectRawValue(quality, rawString(connection_.options.quality));
    connect(quality, &QComboBox::activated, this, [this, quality] {
        connection_.options.quality = qualityFromRawValue(quality->currentData().toString())
                                          .value_or(connection_.options.quality);
    });
    form->addRow(tr("Quality"), quality);

    auto* cursor = new QCheckBox(tr("Show Remote Cursor Locally"));
    cursor->setObjectName(QStringLiteral("showRemoteCursorToggle"));
    cursor->setChecked(connection_.options.showRemoteCursor);
    connect(cursor, &QCheckBox::toggled, this,
            [this](bool on) { connection_.options.showRemoteCursor = on; });
    form->addRow(QString(), cursor);
    return section(tr("Display"), form);
}

QWidget* ConnectionEditor::buildBehaviorSection() {
    auto* form = formLayout();
    const auto toggle = [this, form](const QString& text, const char* name, bool& option) {
        auto* box = new QCheckBox(text);
        box->setObjectName(QLatin1StringView(name));
        box->setChecked(option);
        connect(box, &QCheckBox::toggled, this, [&option](bool on) { option = on; });
        form->addRow(QString(), box);
        return box;
    };
    toggle(tr("Observe Only"), "observeOnlyToggle", connection_.options.observeOnly);
    toggle(tr("Share Clipboard"), "shareClipboardToggle", connection_.options.shareClipboard);
    toggle(tr("Allow Other Viewers"), "sharedSessionToggle", connection_.options.sharedSession);
    toggle(tr("Require Encryption"), "requireEncryptionToggle",
           connection_.options.requireEncryption)
        ->setToolTip(tr("Connect only when the whole session, not just the password, is "
                        "encrypted"));

    auto* mapping = new QComboBox;
    mapping->setObjectName(QStringLiteral("commandMappingPicker"));
    fillCommandMappingPicker(mapping);
    selectRawValue(mapping, rawString(connection_.options.commandMapping));
    connect(mapping, &QComboBox::activated, this, [this, mapping] {
        connection_.options.commandMapping =
            commandMappingFromRawValue(mapping->currentData().toString())
                .value_or(connection_.options.commandMapping);
    });
    // The Super key plays the Command key on this computer.
    form->addRow(tr("Super Key Sends"), mapping);
    return section(tr("Behavior"), form);
}

QWidget* ConnectionEditor::buildBottomBar() {
    auto* bar = new QFrame;
    bar->setObjectName(QStringLiteral("editorBottomBar"));
    bar->setFrameShape(QFrame::NoFrame);
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::Window);

    validationIcon_ = new QLabel;
    validationIcon_->setPixmap(symbolIcon(QStringLiteral("exclamationmark.circle"))
                                   .pixmap(QSize(16, 16), devicePixelRatioF()));
    validation_ = new QLabel;
    validation_->setObjectName(QStringLiteral("validationMessage"));
    auto* cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    save_ = new QPushButton(isNew_ ? tr("Add") : tr("Save"));
    save_->setObjectName(QStringLiteral("saveButton"));
    save_->setDefault(true);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(save_, &QPushButton::clicked, this, &ConnectionEditor::save);

    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(18, 10, 18, 12);
    row->setSpacing(6);
    row->addWidget(validationIcon_);
    row->addWidget(validation_);
    row->addStretch(1);
    row->addSpacing(12);
    row->addWidget(cancel);
    row->addWidget(save_);
    return bar;
}

void ConnectionEditor::loadPassword() {
    if (isNew_) {
        loadedPassword_ = QString();
        passwordLoaded_ = true;
        return;
    }
    keychain_.lookUp(connection_.id, this, [this](const std::optional<QString>& password) {
        passwordLookedUp(password);
    });
}

void ConnectionEditor::passwordLookedUp(const std::optional<QString>& password) {
    loadedPassword_ = password;
    passwordLoaded_ = true;
    if (!passwordEdited_) {
        password_->setText(loadedPassword_.value_or(QString()));
    }
    emit passwordLookupFinished();
}

void ConnectionEditor::hostChanged(const QString& text) {
    connection_.host = text;
    // A single keystroke is typing: "studio:5" is on its way to "studio:5901", and splitting it
    // now would move the caret out of the port. Typed addresses are split when editing ends.
    const bool keystroke = qAbs(text.size() - previousHost_.size()) <= 1;
    previousHost_ = text;
    if (!keystroke) {
        applyPastedAddress();
    }
    refresh();
}

void ConnectionEditor::applyPastedAddress() {
    if (applyingAddress_ || !host_) {
        return;
    }
    const QString text = host_->text();
    if (!text.contains(QStringLiteral("://")) && text.count(u':') != 1) {
        return;
    }
    rfb::VNCAddress address;
    try {
        address = rfb::VNCAddress::parse(text.toStdString());
    } catch (const rfb::RFBError&) {
        return;
    }
    const QString host = QString::fromStdString(address.host);
    if (host == text) {
        return;
    }
    applyingAddress_ = true;
    host_->setText(host);
    if (address.port != rfb::VNCAddress::defaultPort) {
        port_->setText(QString::number(address.port));
    }
    if (address.username) {
        username_->setText(QString::fromStdString(*address.username));
    }
    if (address.password) {
        setPasswordText(QString::fromStdString(*address.password));
    }
    if (name_->text().isEmpty()) {
        name_->setText(host);
    }
    applyingAddress_ = false;
}

void ConnectionEditor::setPasswordText(const QString& password) {
    passwordEdited_ = true;
    password_->setText(password);
}

void ConnectionEditor::refresh() {
    subtitle_->setText(connection_.name.isEmpty() ? tr("Add a computer to your library")
                                                  : connection_.name);
    const QString message = validationMessage(connection_);
    validation_->setText(message);
    validation_->setVisible(!message.isEmpty());
    validationIcon_->setVisible(!message.isEmpty());
    save_->setEnabled(message.isEmpty());
    updateHeaderIcon();
}

void ConnectionEditor::updateHeaderIcon() {
    QPixmap icon = tintedSymbol(connection_.symbol, QColor(tintColor(connection_.tint)),
                                headerIconSize, devicePixelRatioF());
    if (icon.isNull()) {
        // A symbol Tessaral has no drawing for, kept as stored.
        icon = symbolIcon(connection_.symbol)
                   .pixmap(QSize(headerIconSize, headerIconSize), devicePixelRatioF());
    }
    headerIcon_->setPixmap(icon);
}

void ConnectionEditor::save() {
    applyPastedAddress();
    if (!connection_.isValid()) {
        return;
    }
    connection_.name = trimmedSpacesAndTabs(connection_.name).toString();
    connection_.host = trimmedSpacesAndTabs(connection_.host).toString();
    connection_.username = trimmedSpacesAndTabs(connection_.username).toString();
    connection_.origin = ConnectionOrigin::saved;
    store_.upsert(connection_);

    // Only a password the user changed is written. An untouched field may be one the keychain
    // has not filled yet or could not read (a locked keyring that stayed locked); writing it
    // would delete the saved password.
    const QString password = password_->text();
    if (password != loadedPassword_.value_or(QString())) {
        keychain_.store(connection_.id, password);
    }
    accept();
    emit saved(connection_);
}

}  // namespace tessaral
