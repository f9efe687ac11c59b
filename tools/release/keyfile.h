#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

namespace svd::release {

struct PkeyFree {
    void operator()(EVP_PKEY *p) const;
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A new Ed25519 key pair.
Pkey generateKey(QString *error);
// Writes the private key as unencrypted PKCS#8 PEM to a new file that only its
// owner may read; never overwrites.
bool writePrivateKey(EVP_PKEY *key, const QString &path, QString *error);
// The private key from `path`, or (when `path` is empty) the PEM text in the
// environment variable SVD_RELEASE_KEY. A key file others may read is refused.
Pkey loadPrivateKey(const QString &path, QString *error);

QByteArray rawPublicKey(EVP_PKEY *key);
QByteArray sign(EVP_PKEY *key, const QByteArray &message, QString *error);

// The 32 bytes of a key given as base64 (the build setting's form), checked to
// be a usable Ed25519 public key.
bool decodePublicKey(const QString &base64, QByteArray *key, QString *error);

} // namespace svd::release
