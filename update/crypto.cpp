#include "update/crypto.h"

#include <QFile>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace svd::update {

namespace {

// The Ed25519 group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr unsigned char kOrderL[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                       0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool scalarIsCanonical(const QByteArray &signature)
{
    const auto *s = reinterpret_cast<const unsigned char *>(signature.constData()) + 32;
    for (int i = 31; i >= 0; --i) {
        if (s[i] != kOrderL[i])
            return s[i] < kOrderL[i];
    }
    return false; // S == L
}

void fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

} // namespace

QString cryptoErrorText()
{
    const unsigned long code = ERR_peek_error();
    if (code == 0)
        return QStringLiteral("unknown");
    char buf[256] = {};
    ERR_error_string_n(code, buf, sizeof buf);
    return QString::fromLatin1(buf);
}

bool ed25519Verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey,
                   QString *error)
{
    if (publicKey.size() != 32) {
        fail(error, QStringLiteral("public key is %1 bytes, expected 32").arg(publicKey.size()));
        return false;
    }
    if (signature.size() != 64) {
        fail(error, QStringLiteral("signature is %1 bytes, expected 64").arg(signature.size()));
        return false;
    }
    if (!scalarIsCanonical(signature)) {
        fail(error, QStringLiteral("signature scalar is not canonical"));
        return false;
    }
    ERR_clear_error();
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(publicKey.constData()), 32));
    if (!key) {
        fail(error, QStringLiteral("public key rejected by OpenSSL: %1").arg(cryptoErrorText()));
        ERR_clear_error();
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        fail(error, QStringLiteral("EVP_DigestVerifyInit failed: %1").arg(cryptoErrorText()));
        ERR_clear_error();
        return false;
    }
    const int rc = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                                    64, reinterpret_cast<const unsigned char *>(message.constData()),
                                    size_t(message.size()));
    bool ok = false;
    if (rc == 1)
        ok = true;
    else if (rc == 0)
        fail(error, QStringLiteral("signature does not match"));
    else
        fail(error, QStringLiteral("verification error: %1").arg(cryptoErrorText()));
    ERR_clear_error();
    return ok;
}

Sha256::Sha256()
{
    ctx_ = EVP_MD_CTX_new();
    if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1)
        ok = false;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(ctx_);
}

void Sha256::add(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    if (!ctx_ || EVP_DigestUpdate(ctx_, data, size_t(length)) != 1)
        ok = false;
    total += length;
}

QByteArray Sha256::hexResult()
{
    if (!ok || !ctx_)
        return {};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const bool done = EVP_DigestFinal_ex(ctx_, md, &len) == 1;
    EVP_MD_CTX_free(ctx_);
    ctx_ = nullptr;
    if (!done || len != 32) {
        ok = false;
        return {};
    }
    return QByteArray(reinterpret_cast<const char *>(md), 32).toHex();
}

QByteArray sha256File(const QString &path, qint64 *bytes, QString *error, const std::atomic<bool> *cancel)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("cannot open %1: %2").arg(path, f.errorString()));
        return {};
    }
    ERR_clear_error();
    Sha256 sha;
    if (!sha.ok) {
        fail(error, QStringLiteral("SHA-256 unavailable: %1").arg(cryptoErrorText()));
        ERR_clear_error();
        return {};
    }
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            fail(error, QStringLiteral("cancelled"));
            return {};
        }
        const qint64 n = f.read(chunk.data(), chunk.size());
        if (n < 0) {
            fail(error, QStringLiteral("read error in %1: %2").arg(path, f.errorString()));
            return {};
        }
        if (n == 0)
            break;
        sha.add(chunk.constData(), n);
    }
    if (bytes)
        *bytes = sha.total;
    const QByteArray hex = sha.hexResult();
    if (hex.isEmpty())
        fail(error, QStringLiteral("SHA-256 failed"));
    return hex;
}

QByteArray embeddedPublicKeyText()
{
    return QByteArrayLiteral(SVD_UPDATE_PUBLIC_KEY);
}

QByteArray embeddedPublicKey()
{
    return QByteArray::fromBase64(embeddedPublicKeyText());
}

QString cryptoLibraryVersion()
{
    return QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION));
}

} // namespace svd::update
