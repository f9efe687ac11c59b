#include "tools/release/keyfile.h"

#include "update/crypto.h"

#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace svd::release {

namespace {

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};

} // namespace

void PkeyFree::operator()(EVP_PKEY *p) const
{
    EVP_PKEY_free(p);
}

Pkey generateKey(QString *error)
{
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    if (!ctx || EVP_PKEY_keygen_init(ctx) != 1 || EVP_PKEY_keygen(ctx, &key) != 1)
        fail(error, QStringLiteral("key generation failed: %1").arg(update::cryptoErrorText()));
    EVP_PKEY_CTX_free(ctx);
    return Pkey(key);
}

bool writePrivateKey(EVP_PKEY *key, const QString &path, QString *error)
{
    std::unique_ptr<BIO, BioFree> mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail(error, QStringLiteral("cannot encode the key: %1").arg(update::cryptoErrorText()));
    char *data = nullptr;
    const long size = BIO_get_mem_data(mem.get(), &data);
    // Created 0600 from the start (O_EXCL: an existing key is never replaced);
    // fchmod because a umask may only take bits away, not add them back.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(error, QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    bool ok = ::fchmod(fd, 0600) == 0 && ::write(fd, data, size_t(size)) == ssize_t(size);
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(native.constData());
        return fail(error, QStringLiteral("cannot write %1").arg(path));
    }
    return true;
}

Pkey loadPrivateKey(const QString &path, QString *error)
{
    QByteArray pem;
    if (path.isEmpty()) {
        pem = qgetenv("SVD_RELEASE_KEY");
        if (pem.isEmpty()) {
            fail(error, QStringLiteral("no private key: give --key FILE or the PEM text in SVD_RELEASE_KEY"));
            return nullptr;
        }
    } else {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            fail(error, QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
            return nullptr;
        }
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ReadOther | QFileDevice::WriteOther;
        if (f.permissions() & others) {
            fail(error, QStringLiteral("%1 may be read by others; chmod 600 it first").arg(path));
            return nullptr;
        }
        pem = f.readAll();
    }
    std::unique_ptr<BIO, BioFree> mem(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    Pkey key(mem ? PEM_read_bio_PrivateKey(mem.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        fail(error, QStringLiteral("not an Ed25519 private key in PEM form"));
        return nullptr;
    }
    return key;
}

QByteArray rawPublicKey(EVP_PKEY *key)
{
    unsigned char raw[32];
    size_t len = sizeof raw;
    if (!key || EVP_PKEY_get_raw_public_key(key, raw, &len) != 1 || len != sizeof raw)
        return {};
    return QByteArray(reinterpret_cast<const char *>(raw), qsizetype(len));
}

QByteArray sign(EVP_PKEY *key, const QByteArray &message, QString *error)
{
    unsigned char sig[64];
    size_t len = sizeof sig;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                    EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char *>(message.constData()),
                                   size_t(message.size())) == 1 &&
                    len == sizeof sig;
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        fail(error, QStringLiteral("signing failed: %1").arg(update::cryptoErrorText()));
        return {};
    }
    return QByteArray(reinterpret_cast<const char *>(sig), qsizetype(len));
}

bool decodePublicKey(const QString &base64, QByteArray *key, QString *error)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(base64.trimmed().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    QString why = QStringLiteral("not base64");
    if (!decoded || !update::isValidEd25519PublicKey(*decoded, &why))
        return fail(error, QStringLiteral("public key '%1' refused: %2").arg(base64.trimmed(), why));
    *key = *decoded;
    return true;
}

} // namespace svd::release
