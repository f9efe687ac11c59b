#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace svd::update {

// Ed25519 (pure, no context) over the whole message. Refuses non-canonical S
// before the library sees the signature.
bool ed25519Verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey,
                   QString *error = nullptr);

// Incremental SHA-256. hexResult() finishes once; the context is gone afterwards.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(const char *data, qint64 length);
    // 64 lowercase hex characters, empty when anything failed.
    QByteArray hexResult();

    bool ok = true;
    qint64 total = 0;

private:
    EVP_MD_CTX *ctx_ = nullptr;
};

// Hashes a file in 1 MiB chunks. Returns the hex digest, empty on failure.
// `cancel`, polled between chunks, ends it early with the error "cancelled".
QByteArray sha256File(const QString &path, qint64 *bytes = nullptr, QString *error = nullptr,
                      const std::atomic<bool> *cancel = nullptr);

// The 32-byte Ed25519 release key compiled into the program (the build setting
// SVD_UPDATE_PUBLIC_KEY), and that setting's base64 text.
QByteArray embeddedPublicKey();
QByteArray embeddedPublicKeyText();

// True when `key` decodes to a point of the curve that is not of small order,
// i.e. a key some private key can sign for. The library itself accepts any 32
// bytes and only fails later, at every verification.
bool isValidEd25519PublicKey(const QByteArray &key, QString *error = nullptr);

// The crypto library's own version text.
QString cryptoLibraryVersion();

// Text of the first queued library error (at most 255 characters) or "unknown".
QString cryptoErrorText();

} // namespace svd::update
