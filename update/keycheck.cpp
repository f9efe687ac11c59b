#include "update/crypto.h"

#include <openssl/bn.h>
#include <openssl/err.h>

#include <cstring>
#include <memory>

namespace svd::update {

namespace {

struct CtxFree {
    void operator()(BN_CTX *c) const
    {
        BN_CTX_end(c);
        BN_CTX_free(c);
    }
};

// Arithmetic modulo p on BIGNUMs taken from one BN_CTX frame.
class Field {
public:
    explicit Field(BN_CTX *ctx) : ctx_(ctx)
    {
        p = get();
        ok_ = p && BN_set_bit(p, 255) && BN_sub_word(p, 19);
    }
    bool ok() const { return ok_; }
    BIGNUM *get()
    {
        BIGNUM *n = BN_CTX_get(ctx_);
        ok_ = ok_ && n;
        return n;
    }
    BIGNUM *num(BN_ULONG w)
    {
        BIGNUM *n = get();
        ok_ = ok_ && n && BN_set_word(n, w);
        return n;
    }
    BIGNUM *mul(const BIGNUM *a, const BIGNUM *b) { return apply(BN_mod_mul, a, b); }
    BIGNUM *add(const BIGNUM *a, const BIGNUM *b) { return apply(BN_mod_add, a, b); }
    BIGNUM *sub(const BIGNUM *a, const BIGNUM *b) { return apply(BN_mod_sub, a, b); }
    BIGNUM *div(const BIGNUM *a, const BIGNUM *b)
    {
        BIGNUM *inv = get();
        ok_ = ok_ && inv && BN_mod_inverse(inv, b, p, ctx_);
        return mul(a, inv);
    }

    BIGNUM *p = nullptr;

private:
    using Op = int (*)(BIGNUM *, const BIGNUM *, const BIGNUM *, const BIGNUM *, BN_CTX *);
    BIGNUM *apply(Op op, const BIGNUM *a, const BIGNUM *b)
    {
        BIGNUM *r = get();
        ok_ = ok_ && r && op(r, a, b, p, ctx_);
        return r;
    }

    BN_CTX *ctx_;
    bool ok_ = true;
};

} // namespace

bool isValidEd25519PublicKey(const QByteArray &key, QString *error)
{
    auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        ERR_clear_error();
        return false;
    };
    if (key.size() != 32)
        return fail(QStringLiteral("public key is %1 bytes, expected 32").arg(key.size()));
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    if (!ctx)
        return fail(QStringLiteral("out of memory"));
    BN_CTX_start(ctx.get());
    Field f(ctx.get());

    // The encoding is y (255 bits, little-endian) and the sign of x in the top bit.
    unsigned char le[32];
    std::memcpy(le, key.constData(), 32);
    const bool xOdd = (le[31] & 0x80) != 0;
    le[31] &= 0x7f;
    BIGNUM *y = f.get();
    if (!f.ok() || !BN_lebin2bn(le, 32, y))
        return fail(QStringLiteral("arithmetic failed"));
    if (BN_cmp(y, f.p) >= 0)
        return fail(QStringLiteral("y is not reduced modulo p"));

    // x^2 = (y^2 - 1) / (d y^2 + 1), d = -121665 / 121666.
    BIGNUM *one = f.num(1);
    BIGNUM *d = f.div(f.sub(f.num(0), f.num(121665)), f.num(121666));
    BIGNUM *y2 = f.mul(y, y);
    BIGNUM *x2 = f.div(f.sub(y2, one), f.add(f.mul(d, y2), one));
    BIGNUM *x = f.get();
    if (!f.ok())
        return fail(QStringLiteral("arithmetic failed"));
    if (BN_is_zero(x2)) {
        if (xOdd)
            return fail(QStringLiteral("x is 0 but its sign bit is set"));
        BN_zero(x);
    } else if (!BN_mod_sqrt(x, x2, f.p, ctx.get())) {
        return fail(QStringLiteral("no curve point has this y"));
    }

    // A point of small order (the identity among them) lets signatures be
    // forged without the private key: refuse A when [8]A is the identity.
    // Doubling on -x^2 + y^2 = 1 + d x^2 y^2; the denominators never vanish
    // because d is not a square.
    BIGNUM *two = f.num(2);
    for (int i = 0; i < 3 && f.ok(); ++i) {
        BIGNUM *xx = f.mul(x, x);
        BIGNUM *yy = f.mul(y, y);
        BIGNUM *nx = f.div(f.mul(two, f.mul(x, y)), f.sub(yy, xx));
        BIGNUM *ny = f.div(f.add(yy, xx), f.sub(f.add(two, xx), yy));
        x = nx;
        y = ny;
    }
    if (!f.ok())
        return fail(QStringLiteral("arithmetic failed"));
    if (BN_is_zero(x) && BN_is_one(y))
        return fail(QStringLiteral("the point has small order"));
    ERR_clear_error();
    return true;
}

} // namespace svd::update
