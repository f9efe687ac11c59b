#include "testkey.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>

TestKey::TestKey()
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    if (ctx && EVP_PKEY_keygen_init(ctx) == 1)
        EVP_PKEY_keygen(ctx, &key_);
    EVP_PKEY_CTX_free(ctx);
}

TestKey::~TestKey()
{
    EVP_PKEY_free(key_);
}

QByteArray TestKey::publicKey() const
{
    unsigned char raw[32];
    size_t len = sizeof raw;
    if (!key_ || EVP_PKEY_get_raw_public_key(key_, raw, &len) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(raw), qsizetype(len));
}

QByteArray TestKey::sign(const QByteArray &message) const
{
    unsigned char sig[64];
    size_t len = sizeof sig;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_) == 1 &&
                    EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char *>(message.constData()),
                                   size_t(message.size())) == 1;
    EVP_MD_CTX_free(ctx);
    return ok ? QByteArray(reinterpret_cast<const char *>(sig), qsizetype(len)) : QByteArray();
}

QByteArray TestKey::envelope(const QByteArray &manifest) const
{
    QJsonObject env;
    env.insert(QStringLiteral("manifest"), QString::fromUtf8(manifest));
    env.insert(QStringLiteral("signature"), QString::fromLatin1(sign(manifest).toBase64()));
    return QJsonDocument(env).toJson(QJsonDocument::Compact);
}
