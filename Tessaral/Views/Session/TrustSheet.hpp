#pragma once

#include <QDialog>
#include <QStringList>
#include <optional>

#include "Identity.hpp"
#include "Model/Connection.hpp"

class QPushButton;

namespace tessaral {

// Asks whether to trust the identity a server presents when neither this computer nor the user
// vouches for it: what it is, its fingerprint to compare with the one the server shows, and why it
// is not trusted. An identity that replaces one the user trusted before brings a warning instead,
// whose default answer is Cancel. Rejecting the dialog (Cancel, Escape, closing it) is the user
// declining.
class TrustSheet : public QDialog {
    Q_OBJECT

  public:
    // `replaced`: the identity trusted before, when this one replaces it.
    TrustSheet(const Connection& connection, const rfb::RFBIdentity& identity,
               const std::optional<rfb::RFBIdentity>& replaced, QWidget* parent = nullptr);

    static QString titleText(const Connection& connection, bool changed);
    // One sentence for each reason the identity is not trusted.
    static QStringList reasons(const rfb::RFBIdentity& identity);

    QPushButton* trustButton() const { return trust_; }
    QPushButton* cancelButton() const { return cancel_; }

  signals:
    void trusted();

  private:
    QPushButton* cancel_;
    QPushButton* trust_;
};

}  // namespace tessaral
