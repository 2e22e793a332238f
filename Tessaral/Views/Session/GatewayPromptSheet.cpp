#include "GatewayPromptSheet.hpp"

#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Session/DisplayText.hpp"
#include "Views/FormParts.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

GatewayPromptSheet::GatewayPromptSheet(const Connection& connection,
                                       const rfb::event::GatewayPrompt& prompt, QWidget* parent)
    : QDialog(parent),
      cancel_(new QPushButton(tr("Cancel"))),
      answer_(new QPushButton(prompt.secret ? tr("Continue") : tr("Accept and Connect"))) {
    setObjectName(QStringLiteral("gatewayPromptSheet"));
    setWindowModality(Qt::WindowModal);
    const QString gateway = connection.sshGateway;
    const QString titleText = prompt.secret ? tr("Sign In to the SSH Gateway “%1”").arg(gateway)
                                            : tr("Accept the host key of “%1”?").arg(gateway);
    setWindowTitle(titleText);

    auto* icon = new QLabel;
    icon->setPixmap(symbolIcon(prompt.secret ? QStringLiteral("lock")
                                             : QStringLiteral("lock.trianglebadge.exclamationmark"))
                        .pixmap(QSize(40, 40), devicePixelRatioF()));
    auto* title = sheetTitle(titleText);
    auto* message = new QLabel(
        prompt.secret ? tr("ssh asks this on the way to “%1”:").arg(connection.name)
                      : tr("ssh has not met this SSH gateway before. Accept its key only if the "
                           "fingerprint is the one the gateway’s owner gives you; ssh then "
                           "remembers it."));
    // ssh's own text, fingerprints included, kept line by line but stripped of controls.
    QStringList lines;
    for (const QString& line : QString::fromStdString(prompt.text).split(u'\n')) {
        lines << displayText(line, 200);
    }
    auto* asked = new QLabel(lines.join(u'\n').trimmed());
    asked->setObjectName(QStringLiteral("gatewayPromptText"));
    asked->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    asked->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    asked->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addLayout(sheetHeading(icon, title, message));
    layout->addWidget(asked);
    if (prompt.secret) {
        secret_ = new QLineEdit;
        secret_->setObjectName(QStringLiteral("gatewaySecretField"));
        secret_->setEchoMode(QLineEdit::Password);
        layout->addWidget(secret_);
    }
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    answer_->setObjectName(QStringLiteral("answerButton"));
    answer_->setDefault(true);
    cancel_->setAutoDefault(false);
    layout->addLayout(sheetButtons(cancel_, answer_));
    setMinimumWidth(480);

    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(answer_, &QPushButton::clicked, this, [this] {
        const QString answer = secret_ ? secret_->text() : QStringLiteral("yes");
        accept();
        emit answered(answer);
    });
    if (secret_) {
        secret_->setFocus();
    } else {
        answer_->setFocus();
    }
}

}  // namespace tessaral
