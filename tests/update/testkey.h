#pragma once

#include <QByteArray>

typedef struct evp_pkey_st EVP_PKEY;

// A fresh Ed25519 key pair for signing test manifests.
class TestKey {
public:
    TestKey();
    ~TestKey();
    TestKey(const TestKey &) = delete;
    TestKey &operator=(const TestKey &) = delete;

    QByteArray publicKey() const;
    QByteArray sign(const QByteArray &message) const;
    // The update answer for `manifest`: {"manifest": <text>, "signature": <base64>}, compact JSON.
    QByteArray envelope(const QByteArray &manifest) const;

private:
    EVP_PKEY *key_ = nullptr;
};
