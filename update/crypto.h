#pragma once

#include <QByteArray>
#include <QString>

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
QByteArray sha256File(const QString &path, qint64 *bytes = nullptr, QString *error = nullptr);

// The 32-byte Ed25519 release key compiled into the program.
QByteArray embeddedPublicKey();
inline constexpr const char kEmbeddedPublicKeyBase64[] = "mZ3pLq8Tn0vR5cWx2YbH7kJd4sFg9eUa1oNi6tPyQ0w=";

// The crypto library's own version text.
QString cryptoLibraryVersion();

// Text of the first queued library error (at most 255 characters) or "unknown".
QString cryptoErrorText();

} // namespace svd::update
