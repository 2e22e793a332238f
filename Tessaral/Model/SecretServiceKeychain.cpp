#include "SecretServiceKeychain.hpp"

// GLib's D-Bus headers name a field "signals", which Qt defines as a keyword; this file has no
// use for the keyword.
#undef signals
#include <libsecret/secret.h>

#include <QByteArray>
#include <QStringDecoder>

namespace tessaral {

namespace {

const SecretSchema* schema() {
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = "org.tessaral.Tessaral.Connection";
        // Service and account alone identify an item, whichever program created it.
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = SecretSchemaAttribute{"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = SecretSchemaAttribute{"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

// What every operation starts with: the shared connection to the Secret Service (none when there
// is no session bus or nobody serves secrets on it) and the search key of one computer. Errors
// are only ever counted, never shown: a caller learns "no password" or "not stored".
class Query {
  public:
    explicit Query(const QUuid& id) : account_(SecretServiceKeychain::account(id).toUtf8()) {
        attributes_ = secret_attributes_build(schema(), "service", SecretServiceKeychain::service,
                                              "account", account_.constData(), nullptr);
        service_ = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error());
    }
    ~Query() {
        if (service_ != nullptr) {
            g_object_unref(service_);
        }
        g_hash_table_unref(attributes_);
        g_clear_error(&error_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    SecretService* service() const { return service_; }
    GHashTable* attributes() const { return attributes_; }
    // For the next call; forgets the previous call's error.
    GError** error() {
        g_clear_error(&error_);
        return &error_;
    }
    bool failed() const { return error_ != nullptr; }

  private:
    QByteArray account_;
    GHashTable* attributes_ = nullptr;
    SecretService* service_ = nullptr;
    GError* error_ = nullptr;
};

class Secret {
  public:
    explicit Secret(const QByteArray& bytes)
        : value_(secret_value_new(bytes.constData(), bytes.size(), "text/plain")) {}
    ~Secret() { secret_value_unref(value_); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    SecretValue* get() const { return value_; }

  private:
    SecretValue* value_;
};

}  // namespace

QString SecretServiceKeychain::account(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QString> SecretServiceKeychain::password(const QUuid& id) const {
    Query query(id);
    if (query.service() == nullptr) {
        return std::nullopt;
    }
    SecretValue* value = secret_service_lookup_sync(query.service(), schema(), query.attributes(),
                                                    nullptr, query.error());
    if (value == nullptr) {
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    // Exactly the stored bytes: a leading byte-order mark stays, and a truncated sequence at the
    // end is an error rather than something silently dropped.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(QByteArrayView(bytes, static_cast<qsizetype>(length)));
    const bool valid = !decoder.hasError();
    secret_value_unref(value);
    if (!valid) {
        return std::nullopt;
    }
    return text;
}

bool SecretServiceKeychain::setPassword(const QUuid& id, const std::optional<QString>& password) {
    Query query(id);
    if (query.service() == nullptr) {
        return false;
    }
    if (!password || password->isEmpty()) {
        // False without an error only means there was nothing to delete.
        secret_service_clear_sync(query.service(), schema(), query.attributes(), nullptr,
                                  query.error());
        return !query.failed();
    }

    const Secret secret(password->toUtf8());
    GList* items = secret_service_search_sync(
        query.service(), schema(), query.attributes(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr,
        query.error());
    if (query.failed()) {
        return false;
    }
    if (items == nullptr) {
        return secret_service_store_sync(query.service(), schema(), query.attributes(),
                                         SECRET_COLLECTION_DEFAULT, label, secret.get(), nullptr,
                                         query.error()) != FALSE;
    }
    // Normally one item. Should another program have left several with this key, all get the new
    // secret, so that whichever a later read finds is the one just written.
    bool stored = true;
    for (GList* item = items; item != nullptr; item = item->next) {
        stored = secret_item_set_secret_sync(SECRET_ITEM(item->data), secret.get(), nullptr,
                                             query.error()) != FALSE &&
                 stored;
    }
    g_list_free_full(items, g_object_unref);
    return stored;
}

}  // namespace tessaral
