#include "TrustSheet.hpp"

#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSslCertificate>
#include <QVBoxLayout>
#include <QtEndian>

#include "Views/FormParts.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

using Kind = rfb::RFBIdentity::Kind;

QSslCertificate certificateOf(const rfb::RFBIdentity& identity) {
    if (identity.kind != Kind::certificate) {
        return QSslCertificate();
    }
    return QSslCertificate(QByteArray(reinterpret_cast<const char*>(identity.data.data()),
                                      static_cast<qsizetype>(identity.data.size())),
                           QSsl::Der);
}

// `withDate` filled in, or `without` for a certificate whose dates could not be read.
QString dated(const QString& withDate, const QString& without, const QDateTime& date) {
    return date.isValid()
               ? withDate.arg(QLocale().toString(date.toLocalTime().date(), QLocale::LongFormat))
               : without;
}

// Monospaced and selectable, also from the keyboard, to be compared and copied. A certificate's
// takes two lines of sixteen pairs: on one it would make the sheet too wide.
QLabel* fingerprintLabel(const rfb::RFBIdentity& identity) {
    QString text = QString::fromStdString(identity.fingerprint());
    if (text.size() > 48) {
        text.insert(48, u'\n');
    }
    auto* label = new QLabel(text);
    label->setObjectName(QStringLiteral("fingerprint"));
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Reached with Tab as well, for those who copy it without a mouse.
    label->setFocusPolicy(Qt::StrongFocus);
    return label;
}

QLabel* detail(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// What the identity says of itself: whom a certificate was issued to, by whom and for how long;
// a key's size, from the bit length it starts with.
void addDetails(QFormLayout* form, const rfb::RFBIdentity& identity) {
    if (identity.kind == Kind::rsaKey) {
        if (identity.data.size() >= 4) {
            form->addRow(TrustSheet::tr("Key"),
                         detail(TrustSheet::tr("%1-bit RSA key")
                                    .arg(qFromBigEndian<quint32>(identity.data.data()))));
        }
        return;
    }
    const QSslCertificate certificate = certificateOf(identity);
    if (certificate.isNull()) {
        return;
    }
    const auto date = [](const QDateTime& moment) {
        return QLocale().toString(moment.toLocalTime(), QLocale::ShortFormat);
    };
    form->addRow(TrustSheet::tr("Issued to"), detail(certificate.subjectDisplayName()));
    form->addRow(TrustSheet::tr("Issued by"), detail(certificate.issuerDisplayName()));
    form->addRow(TrustSheet::tr("Valid from"), detail(date(certificate.effectiveDate())));
    form->addRow(TrustSheet::tr("Valid until"), detail(date(certificate.expiryDate())));
}

}  // namespace

QString TrustSheet::titleText(const Connection& connection, bool changed) {
    return changed ? tr("The identity of “%1” has changed").arg(connection.name)
                   : tr("Verify the Identity of “%1”").arg(connection.name);
}

QStringList TrustSheet::reasons(const rfb::RFBIdentity& identity) {
    if (identity.kind == Kind::rsaKey) {
        return {tr("This is the first connection to this computer with this key.")};
    }
    const QSslCertificate certificate = certificateOf(identity);
    QStringList sentences;
    for (rfb::RFBTrustProblem problem : identity.problems) {
        switch (problem) {
            case rfb::RFBTrustProblem::selfSigned:
                sentences << tr(
                    "The certificate is signed by itself, so no authority vouches "
                    "for it.");
                break;
            case rfb::RFBTrustProblem::unknownIssuer:
                sentences << tr(
                    "The certificate is signed by an authority this computer "
                    "doesn’t know.");
                break;
            case rfb::RFBTrustProblem::expired:
                sentences << dated(tr("The certificate expired on %1."),
                                   tr("The certificate has expired."), certificate.expiryDate());
                break;
            case rfb::RFBTrustProblem::notYetValid:
                sentences << dated(tr("The certificate is not valid until %1."),
                                   tr("The certificate is not valid yet."),
                                   certificate.effectiveDate());
                break;
            case rfb::RFBTrustProblem::otherName:
                sentences << tr("The certificate is made for another name.");
                break;
            case rfb::RFBTrustProblem::invalid:
                sentences << tr("The certificate is not valid.");
                break;
        }
    }
    return sentences;
}

TrustSheet::TrustSheet(const Connection& connection, const rfb::RFBIdentity& identity,
                       const std::optional<rfb::RFBIdentity>& replaced, QWidget* parent)
    : QDialog(parent),
      cancel_(new QPushButton(tr("Cancel"))),
      trust_(new QPushButton(replaced ? tr("Trust New Identity and Connect")
                                      : tr("Trust and Connect"))) {
    setObjectName(QStringLiteral("trustSheet"));
    setWindowModality(Qt::WindowModal);
    const bool changed = replaced.has_value();
    setWindowTitle(titleText(connection, changed));

    auto* icon = new QLabel;
    icon->setPixmap(changed ? tintedSymbol(QStringLiteral("exclamationmark.triangle"),
                                           QColor(215, 58, 46), 40, devicePixelRatioF())
                            : symbolIcon(QStringLiteral("lock.trianglebadge.exclamationmark"))
                                  .pixmap(QSize(40, 40), devicePixelRatioF()));
    auto* title = sheetTitle(titleText(connection, changed));
    title->setObjectName(QStringLiteral("trustTitle"));
    const bool certificate = identity.kind == Kind::certificate;
    QString text;
    if (!changed) {
        text = reasons(identity).join(u' ');
    } else if (certificate) {
        text = tr("“%1” presents a different certificate from the one you trusted. Someone may be "
                  "posing as the computer to see its screen and everything you type, passwords "
                  "included. Unless you know that it was given a new certificate, cancel.")
                   .arg(connection.name);
    } else {
        text = tr("“%1” presents a different key from the one you trusted. Someone may be posing "
                  "as the computer to see its screen and everything you type, passwords "
                  "included. Unless you know that it was given a new key, cancel.")
                   .arg(connection.name);
    }
    auto* message = new QLabel(text);
    message->setObjectName(QStringLiteral("trustMessage"));

    auto* details = formLayout();
    addDetails(details, identity);
    if (changed) {
        QLabel* before = fingerprintLabel(*replaced);
        before->setObjectName(QStringLiteral("replacedFingerprint"));
        details->addRow(tr("Trusted before"), before);
        details->addRow(tr("Presented now"), fingerprintLabel(identity));
    } else {
        details->addRow(certificate ? tr("SHA-256 fingerprint") : tr("Key fingerprint"),
                        fingerprintLabel(identity));
    }

    cancel_->setObjectName(QStringLiteral("cancelButton"));
    trust_->setObjectName(QStringLiteral("trustButton"));
    // Trusting a changed identity is the dangerous answer: Return must not give it.
    QPushButton* preferred = changed ? cancel_ : trust_;
    (changed ? trust_ : cancel_)->setAutoDefault(false);
    preferred->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addLayout(sheetHeading(icon, title, message));
    layout->addLayout(details);
    if (!changed) {
        layout->addWidget(footnote(
            tr("Trust it only if the fingerprint is the one the computer shows for itself. "
               "Tessaral then remembers it for this computer and warns you if it ever "
               "changes.")));
    }
    layout->addLayout(sheetButtons(cancel_, trust_));
    setMinimumWidth(480);

    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(trust_, &QPushButton::clicked, this, [this] {
        accept();
        emit trusted();
    });
    preferred->setFocus();
}

}  // namespace tessaral
